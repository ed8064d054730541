// A field for one host: the draft is checked and committed when editing ends
// (Return or leaving the field). Text that is not one host name or IP address
// is refused with a short message under the field, and the committed host
// stays as it was. Owned by the settings page; main thread.
#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QLineEdit;

namespace nerivane {

class HostField : public QWidget {
    Q_OBJECT

public:
    // allowsEmpty: an empty field commits the empty string (no host).
    HostField(const QString& prompt, bool allowsEmpty, QWidget* parent = nullptr);

    // The committed host; shown in the field unless the user is editing it.
    QString host() const { return host_; }
    void setHost(const QString& host);
    // Empty while the draft is acceptable.
    QString errorText() const;
    QLineEdit& edit() { return *edit_; }

signals:
    // A checked, trimmed host the user committed (differs from the last one).
    void committed(const QString& host);

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyPlaceholderInk();
    void handleEditingFinished();
    void showError(const QString& text);

    bool allowsEmpty_;
    QString host_;
    QLineEdit* edit_ = nullptr;
    QLabel* error_ = nullptr;
};

}  // namespace nerivane
