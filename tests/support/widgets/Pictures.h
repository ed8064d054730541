// Test support for looking at what was drawn: a light and a dark palette with
// the roles the views use, and saving a render when NERIVANE_PICTURES names a
// folder, so a person can check the pictures.
#pragma once

#include <QDir>
#include <QImage>
#include <QPalette>
#include <QString>

namespace nerivane::test {

inline QPalette palette(bool dark) {
    QPalette p;
    const QColor window = dark ? QColor(0x23, 0x24, 0x27) : QColor(0xf7, 0xf7, 0xf5);
    const QColor text = dark ? QColor(0xe8, 0xe8, 0xe8) : QColor(0x1c, 0x1c, 0x1e);
    const QColor button = dark ? QColor(0x31, 0x33, 0x36) : QColor(0xea, 0xea, 0xe7);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::Base, dark ? QColor(0x1a, 0x1b, 0x1d) : Qt::white);
    p.setColor(QPalette::Button, button);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) p.setColor(role, text);
    p.setColor(QPalette::PlaceholderText, dark ? QColor(0x9a, 0x9a, 0x9e) : QColor(0x76, 0x76, 0x7a));
    p.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
    p.setColor(QPalette::HighlightedText, Qt::white);
    return p;
}

inline void keepPicture(const QImage& image, const QString& name) {
    const QString folder = qEnvironmentVariable("NERIVANE_PICTURES");
    if (!folder.isEmpty()) image.save(QDir(folder).filePath(name));
}

}  // namespace nerivane::test
