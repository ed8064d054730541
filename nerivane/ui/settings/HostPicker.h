// Picks an internet host: the presets 1.1.1.1, 8.8.8.8 and 9.9.9.9, "other"
// with a host field committed when editing ends, and, where allowed, "off"
// (the empty string: no host). A preset or off is chosen at once. Owned by
// the settings page; main thread.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

namespace nerivane {

class HostField;
class SegmentedPicker;

class HostPicker : public QWidget {
    Q_OBJECT

public:
    static const QStringList presets;

    HostPicker(const QString& name, bool allowsOff, QWidget* parent = nullptr);

    // Shows the stored host: its preset, off for the empty string (when
    // allowed), else "other" with the host in the field. Silent.
    void setHost(const QString& host);
    SegmentedPicker& picker() { return *picker_; }
    HostField& field() { return *field_; }

signals:
    void hostChosen(const QString& host);

private:
    void handleActivated(int index);
    int otherIndex() const { return static_cast<int>(presets.size()); }

    bool allowsOff_;
    QString host_;
    SegmentedPicker* picker_ = nullptr;
    HostField* field_ = nullptr;
};

}  // namespace nerivane
