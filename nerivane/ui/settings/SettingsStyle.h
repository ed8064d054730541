// The settings page's building blocks: section titles, labelled rows, hints
// and switches aligned to the row's end, in one look for the page and the
// controls it shares with the first-run card. Main thread.
#pragma once

#include <QString>

class QCheckBox;
class QLabel;
class QLayout;
class QWidget;
class QVBoxLayout;

namespace nerivane::SettingsStyle {

enum class HintKind { note, warning };

// A wrapped hint in the secondary colour, or orange for a warning.
QLabel* hint(const QString& text, HintKind kind, QWidget* parent);
// "MENU BAR": a small bold title; returns the column its rows go into.
QVBoxLayout* section(const QString& title, QVBoxLayout* page, QWidget* parent);
// A label at the start and the content after it.
void row(const QString& label, QWidget* content, QVBoxLayout* section, QWidget* parent);
// A switch at the row's end with its label at the start.
QCheckBox* trailingSwitch(const QString& label, QVBoxLayout* section, QWidget* parent);

}  // namespace nerivane::SettingsStyle
