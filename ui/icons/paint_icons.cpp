// Paints the interface's icons at build time: the tray animation in three
// colours (a satellite circling a globe), the heavy-loss blink, the idle
// globe, the main image and the logo, and the resource file that lists them.
//
//   paint_icons OUTDIR
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <cstdint>

namespace {

constexpr int tray_px = 32;
constexpr int frames = 30;
constexpr int main_px = 256;
constexpr double pi = 3.14159265358979323846;

struct palette {
    const char* dir;
    QColor light, dark;
};

const palette colours[] = {
    {"green", QColor(120, 230, 120), QColor(20, 120, 40)},
    {"yellow", QColor(255, 236, 110), QColor(190, 140, 0)},
    {"red", QColor(255, 130, 120), QColor(170, 20, 20)},
};

QImage blank(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

// A shaded globe with two meridians and the equator, in a square of side s
// centred at c.
void globe(QPainter& p, QPointF c, double r, QColor light, QColor dark) {
    QRadialGradient g(c - QPointF(r * 0.35, r * 0.35), r * 1.4);
    g.setColorAt(0, light);
    g.setColorAt(1, dark);
    p.setPen(QPen(dark.darker(140), r / 9));
    p.setBrush(g);
    p.drawEllipse(c, r, r);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 150), r / 12));
    p.drawEllipse(c, r * 0.45, r);
    p.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
    p.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r));
}

// A satellite: a body and two solar panels, w wide, at s.
void satellite_body(QPainter& p, QPointF s, double w, QColor panel) {
    p.setPen(QPen(QColor(30, 30, 40), w / 8 < 0.8 ? 0.8 : w / 8));
    p.setBrush(QColor(235, 235, 245));
    p.drawRect(QRectF(s.x() - w / 2, s.y() - w / 2, w, w));
    p.setBrush(panel);
    p.drawRect(QRectF(s.x() - w * 2.1, s.y() - w / 3, w * 1.4, w * 2 / 3));
    p.drawRect(QRectF(s.x() + w * 0.7, s.y() - w / 3, w * 1.4, w * 2 / 3));
}

// The orbit around c and the satellite at angle a (radians) on it.
void satellite(QPainter& p, QPointF c, double rx, double ry, double a, QColor colour) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(80, 80, 90, 160), rx / 16, Qt::DotLine));
    p.drawEllipse(c, rx, ry);
    satellite_body(p, QPointF(c.x() + rx * std::cos(a), c.y() + ry * std::sin(a)), rx / 5, colour);
}

QImage tray_frame(const palette& pal, int i) {
    QImage img = blank(tray_px, tray_px);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(tray_px / 2.0, tray_px / 2.0);
    const double a = 2 * pi * i / frames;
    // The satellite passes behind the globe in the upper half of its orbit.
    const bool behind = std::sin(a) < 0;
    if (behind) satellite(p, c, 14.5, 6.5, a, pal.dark);
    globe(p, c, 9.5, pal.light, pal.dark);
    if (!behind) satellite(p, c, 14.5, 6.5, a, pal.dark);
    return img;
}

QImage heavy_loss_frame(bool bright) {
    QImage img = blank(tray_px, tray_px);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(tray_px / 2.0, tray_px / 2.0);
    if (bright) {
        globe(p, c, 13, QColor(255, 90, 80), QColor(150, 0, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(c.x() - 2, c.y() - 9, 4, 11), 1.5, 1.5);
        p.drawEllipse(QPointF(c.x(), c.y() + 6), 2.2, 2.2);
    } else {
        globe(p, c, 13, QColor(120, 20, 20), QColor(60, 0, 0));
    }
    return img;
}

QImage idle_icon() {
    QImage img = blank(tray_px, tray_px);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(tray_px / 2.0, tray_px / 2.0);
    globe(p, c, 12, QColor(210, 210, 215), QColor(110, 110, 120));
    return img;
}

// The large picture: a globe under a night sky with the satellite and its
// beam. A sparse deterministic grain keeps the sky from banding.
QImage main_image() {
    QImage img(main_px, main_px, QImage::Format_ARGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, main_px);
    sky.setColorAt(0, QColor(10, 20, 60));
    sky.setColorAt(1, QColor(40, 80, 150));
    p.fillRect(img.rect(), sky);
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 120; ++i) {
        const double x = next() % main_px, y = next() % (main_px / 2);
        p.setBrush(QColor(255, 255, 255, 90 + int(next() % 160)));
        p.drawEllipse(QPointF(x, y), 0.6 + (next() % 10) / 10.0, 0.6 + (next() % 10) / 10.0);
    }
    const QPointF c(main_px * 0.45, main_px * 0.64);
    const double r = 78;
    const QPointF sat(main_px * 0.80, main_px * 0.20);
    QPainterPath beam;
    beam.moveTo(sat);
    beam.lineTo(c + QPointF(-r * 0.55, -r * 0.62));
    beam.lineTo(c + QPointF(r * 0.45, -r * 0.30));
    beam.closeSubpath();
    globe(p, c, r, QColor(110, 190, 255), QColor(10, 60, 140));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 240, 160, 80));
    p.drawPath(beam);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(200, 210, 255, 110), 2, Qt::DotLine));
    p.drawEllipse(c, r * 1.55, r * 1.55);
    satellite_body(p, sat, 18, QColor(60, 110, 200));
    p.end();
    for (int y = 0; y < main_px; ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < main_px; ++x) {
            const int d = (x * 7 + y) % 8 == 0 ? int(next() % 3) - 1 : 0;
            const QRgb v = row[x];
            auto clamp = [](int n) { return n < 0 ? 0 : n > 255 ? 255 : n; };
            row[x] = qRgba(clamp(qRed(v) + d), clamp(qGreen(v) + d), clamp(qBlue(v) + d), qAlpha(v));
        }
    }
    return img;
}

QImage logo() {
    QImage img = blank(230, 64);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    globe(p, QPointF(32, 32), 22, QColor(110, 190, 255), QColor(10, 60, 140));
    satellite(p, QPointF(32, 32), 30, 11, 0.5, QColor(60, 110, 200));
    QFont title("DejaVu Sans", 26, QFont::Bold);
    title.setPixelSize(34);
    p.setFont(title);
    p.setPen(QColor(20, 50, 110));
    p.drawText(QRectF(70, 2, 160, 42), Qt::AlignLeft | Qt::AlignVCenter, "Quorin");
    QFont sub("DejaVu Sans");
    sub.setPixelSize(11);
    p.setFont(sub);
    p.setPen(QColor(70, 90, 120));
    p.drawText(QRectF(72, 42, 160, 18), Qt::AlignLeft | Qt::AlignVCenter, "satellite internet client");
    return img;
}

bool save(const QImage& img, const QString& root, const QString& path, QStringList* files) {
    const QString full = root + "/" + path;
    QDir().mkpath(QFileInfo(full).path());
    if (!img.save(full, "PNG")) {
        std::fprintf(stderr, "paint_icons: cannot write %s\n", qPrintable(full));
        return false;
    }
    files->append(path);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: paint_icons OUTDIR\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    QStringList files;
    bool ok = true;
    for (const palette& pal : colours)
        for (int i = 1; i <= frames; ++i)
            ok &= save(tray_frame(pal, i - 1), root,
                       QString("icons/%1/%2.png").arg(pal.dir).arg(i, 2, 10, QChar('0')), &files);
    ok &= save(heavy_loss_frame(true), root, "icons/red_2/01.png", &files);
    ok &= save(heavy_loss_frame(false), root, "icons/red_2/02.png", &files);
    ok &= save(idle_icon(), root, "icons/idle.png", &files);
    ok &= save(main_image(), root, "icons/main.png", &files);
    ok &= save(logo(), root, "logo.png", &files);
    if (!ok) return 1;

    QFile qrc(root + "/quorin_icons.qrc");
    if (!qrc.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 1;
    QTextStream out(&qrc);
    out << "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/\">\n";
    for (const QString& f : files) out << "  <file>" << f << "</file>\n";
    out << "</qresource>\n</RCC>\n";
    return 0;
}
