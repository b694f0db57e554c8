// Writes the program's icon as PNG files of the given sizes: iconrender DIR NAME SIZE...
// makes DIR/SIZExSIZE/apps/NAME.png, the layout of an icon theme.
#include "ui/appicon.h"

#include <QDir>
#include <QImage>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: iconrender DIR NAME SIZE...\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QString file = folder + u'/' + name + QStringLiteral(".png");
        if (size <= 0 || !QDir().mkpath(folder) || !fumidoriIconImage(size).save(file, "PNG")) {
            std::fprintf(stderr, "iconrender: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
