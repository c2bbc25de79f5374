#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The bytes a box's text stands for on the line: one byte per character.
// Nothing for a text with a character outside ASCII, which has no byte of its
// own; frames, AT lines and settings texts all go through here.
std::optional<QByteArray> line_bytes(const QString &text);
