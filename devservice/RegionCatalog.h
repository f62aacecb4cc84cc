#pragma once

#include <QJsonArray>
#include <QString>

namespace corvanta::devservice {

// The locations the substitute service offers.
namespace RegionCatalog {

// A dozen realistic locations; most online, a few coming soon.
QJsonArray builtIn();

// Reads a JSON array of region objects from a file. On failure returns false
// and sets `error` to a one-line reason.
bool fromFile(const QString &path, QJsonArray &regions, QString &error);

} // namespace RegionCatalog

} // namespace corvanta::devservice
