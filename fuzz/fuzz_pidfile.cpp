// Whatever the process-id file holds, it reads as a process id or as none.
#include "PidProbe.h"

#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("tunnel.pid")));
    if (file.open(QIODevice::WriteOnly)
        && file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size)) {
        file.close();
        corvanta::readPidFile(file.fileName());
    }
    return 0;
}
