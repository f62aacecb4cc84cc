#pragma once

#include <QString>

namespace corvanta::autostart {

// The desktop's autostart entry for us: $XDG_CONFIG_HOME/autostart/corvanta.desktop
// (~/.config when that is unset).
QString filePath();

// The Exec line of the entry for `program` (the running executable): plain
// "corvanta --hidden" when `program` is the corvanta a login session finds on its
// PATH (/usr/bin, /usr/local/bin), else its absolute path, quoted as desktop
// entries want. Empty when the path cannot be written into a desktop entry.
QString execLine(const QString &program);

// Whether the entry is there, ours (it starts `program` or another corvanta,
// with --hidden) and not turned off.
bool isEnabled(const QString &program);

// Writes the entry for `program` (atomically, 0644), or removes it when it is ours.
// Returns an error text, empty on success.
QString setEnabled(bool enabled, const QString &program);

} // namespace corvanta::autostart
