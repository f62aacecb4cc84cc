#pragma once

#include <QString>

#include <memory>
#include <optional>

class QSettings;

namespace corvanta {

// The per-user store of the few texts the client keeps between runs ("cv_token",
// "cv_email", "cv_exit"). It holds a bearer token, so the file is created and kept
// readable by its owner only (0600, in a 0700 folder). Every write goes to disk at once.
class DefaultsStore
{
public:
    // The per-user file: $XDG_CONFIG_HOME/corvanta/corvanta.conf (usually ~/.config).
    static QString defaultFilePath();

    explicit DefaultsStore(const QString &filePath = defaultFilePath());
    ~DefaultsStore();

    std::optional<QString> value(const QString &key) const;
    void setValue(const QString &key, const QString &value);
    void remove(const QString &key);

    QString filePath() const;

private:
    void sync();

    std::unique_ptr<QSettings> m_settings;
};

} // namespace corvanta
