#include "nerivane/ui/settings/HostField.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "nerivane/core/HostValidation.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/settings/SettingsStyle.h"

namespace nerivane {

HostField::HostField(const QString& prompt, bool allowsEmpty, QWidget* parent)
    : QWidget(parent), allowsEmpty_(allowsEmpty) {
    edit_ = new QLineEdit(this);
    edit_->setPlaceholderText(prompt);
    edit_->setAccessibleName(prompt);
    // Longer than any host name may be, so the check, not the field, says so.
    edit_->setMaxLength(1024);
    error_ = SettingsStyle::hint(QString(), SettingsStyle::HintKind::warning, this);
    error_->hide();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(edit_);
    layout->addWidget(error_);
    connect(edit_, &QLineEdit::editingFinished, this, &HostField::handleEditingFinished);
    applyPlaceholderInk();
}

void HostField::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) applyPlaceholderInk();
}

void HostField::applyPlaceholderInk() {
    // A desktop palette's placeholder colour can all but vanish on its base.
    QPalette own = edit_->palette();
    const QColor ink = CardColors::legible(CardColors::secondary(palette()), palette().color(QPalette::Base));
    own.setColor(QPalette::PlaceholderText, ink);
    edit_->setPalette(own);
}

void HostField::setHost(const QString& host) {
    host_ = host;
    if (!edit_->hasFocus() && errorText().isEmpty()) edit_->setText(host);
}

QString HostField::errorText() const { return error_->isHidden() ? QString() : error_->text(); }

void HostField::showError(const QString& text) {
    error_->setText(text);
    error_->setVisible(!text.isEmpty());
    edit_->setAccessibleDescription(text);
}

void HostField::handleEditingFinished() {
    const QString draft = edit_->text().trimmed();
    const auto problem = hostProblem(draft);
    if (problem && !(*problem == HostProblem::empty && allowsEmpty_)) {
        // The draft stays for correcting; the committed host does not change.
        showError(hostProblemText(*problem));
        return;
    }
    showError(QString());
    edit_->setText(draft);
    if (draft == host_) return;
    host_ = draft;
    emit committed(draft);
}

}  // namespace nerivane
