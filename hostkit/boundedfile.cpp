#include "boundedfile.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 piece = 64 * 1024;

QString tooLarge(qint64 limit)
{
    constexpr qint64 mib = 1024 * 1024;
    const QString size = limit % mib == 0 ? QStringLiteral("%1 MiB").arg(limit / mib)
                                          : QStringLiteral("%1 bytes").arg(limit);
    return QStringLiteral("larger than %1, the most read from one file").arg(size);
}

QString notRegular(bool directory)
{
    return directory ? QStringLiteral("a directory, not a file")
                     : QStringLiteral("not a regular file (a FIFO, a device or a socket)");
}

// What is at the path before it is opened: opening a FIFO would wait for a writer.
QString kindProblem(const QFileInfo &info, qint64 limit)
{
    if (!info.exists())
        return QString(); // the open says why
    if (!info.isFile())
        return notRegular(info.isDir());
    return info.size() > limit ? tooLarge(limit) : QString();
}

// Opened without waiting, and checked again once open: a FIFO put in the file's place after the
// look above neither blocks nor is read.
QString openRegular(const QString &path, QFile *file)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return qt_error_string(errno);
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return notRegular(S_ISDIR(st.st_mode));
    }
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return file->errorString();
    }
    return QString();
}

// In pieces up to one byte past the limit, which says the file went on beyond it.
QString readAtMost(QFile *file, qint64 limit, QByteArray *bytes)
{
    while (bytes->size() <= limit) {
        const QByteArray more = file->read(qMin(piece, limit + 1 - bytes->size()));
        if (more.isEmpty())
            break;
        bytes->append(more);
    }
    if (file->error() != QFileDevice::NoError)
        return file->errorString();
    return bytes->size() > limit ? tooLarge(limit) : QString();
}

} // namespace

QString readBoundedFile(const QString &path, qint64 limit, QByteArray *bytes)
{
    bytes->clear();
    QFile file;
    QString why = kindProblem(QFileInfo(path), limit);
    if (why.isEmpty())
        why = openRegular(path, &file);
    if (why.isEmpty())
        why = readAtMost(&file, limit, bytes);
    if (!why.isEmpty())
        bytes->clear();
    return why;
}
