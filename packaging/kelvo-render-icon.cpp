// kelvo-render-icon: draws an SVG picture into a square PNG of the given
// size, for the desktop icon's PNG sizes made at build time.
//
//   kelvo-render-icon IN.svg OUT.png SIZE

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4 || std::atoi(argv[3]) <= 0) {
        std::fprintf(stderr, "usage: kelvo-render-icon IN.svg OUT.png SIZE\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "kelvo-render-icon: %s is no SVG picture\n", argv[1]);
        return 1;
    }
    const int size = std::atoi(argv[3]);
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        svg.render(&p);
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "kelvo-render-icon: %s cannot be written\n", argv[2]);
        return 1;
    }
    return 0;
}
