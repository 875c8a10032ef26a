// Draws the window's pictures into a folder at build time: one per release name, the problem
// marker and the maker's logo. All are our own simple drawings.
#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <cstdio>
#include <functional>

namespace {

constexpr int kReleaseSize = 176;

// A release picture: a landscape inside a rounded square.
QImage landscape(const QColor& skyTop, const QColor& skyBottom,
                 const std::function<void(QPainter&, double)>& drawGround) {
    QImage image(kReleaseSize, kReleaseSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = kReleaseSize;
    QPainterPath frame;
    frame.addRoundedRect(QRectF(6, 6, s - 12, s - 12), 34, 34);
    p.setClipPath(frame);
    QLinearGradient sky(0, 0, 0, s);
    sky.setColorAt(0, skyTop);
    sky.setColorAt(1, skyBottom);
    p.fillRect(QRectF(0, 0, s, s), sky);
    drawGround(p, s);
    p.setClipping(false);
    p.setPen(QPen(QColor(0, 0, 0, 60), 2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(frame);
    return image;
}

QImage catalina() {
    return landscape(QColor("#7cc4f0"), QColor("#d9f0fb"), [](QPainter& p, double s) {
        QPainterPath island;
        island.moveTo(0.18 * s, 0.70 * s);
        island.cubicTo(0.30 * s, 0.42 * s, 0.46 * s, 0.36 * s, 0.58 * s, 0.48 * s);
        island.cubicTo(0.66 * s, 0.40 * s, 0.78 * s, 0.46 * s, 0.90 * s, 0.70 * s);
        island.closeSubpath();
        p.fillPath(island, QColor("#3f6e4a"));
        QLinearGradient sea(0, 0.66 * s, 0, s);
        sea.setColorAt(0, QColor("#1d74b8"));
        sea.setColorAt(1, QColor("#0b3f6e"));
        p.fillRect(QRectF(0, 0.66 * s, s, 0.34 * s), sea);
        p.setPen(QPen(QColor(255, 255, 255, 120), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(0.22 * s, 0.78 * s), QPointF(0.40 * s, 0.78 * s));
        p.drawLine(QPointF(0.54 * s, 0.86 * s), QPointF(0.76 * s, 0.86 * s));
    });
}

QImage mojave() {
    return landscape(QColor("#232a5c"), QColor("#f19a52"), [](QPainter& p, double s) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor("#fbe3a1"));
        p.drawEllipse(QPointF(0.68 * s, 0.42 * s), 0.09 * s, 0.09 * s);
        QPainterPath far;
        far.moveTo(0, 0.62 * s);
        far.cubicTo(0.30 * s, 0.50 * s, 0.55 * s, 0.66 * s, s, 0.56 * s);
        far.lineTo(s, s);
        far.lineTo(0, s);
        far.closeSubpath();
        p.fillPath(far, QColor("#b8643a"));
        QPainterPath near;
        near.moveTo(0, 0.80 * s);
        near.cubicTo(0.35 * s, 0.64 * s, 0.60 * s, 0.86 * s, s, 0.72 * s);
        near.lineTo(s, s);
        near.lineTo(0, s);
        near.closeSubpath();
        p.fillPath(near, QColor("#7a3b26"));
    });
}

QImage highSierra() {
    return landscape(QColor("#4f8fd6"), QColor("#cfe6f7"), [](QPainter& p, double s) {
        const auto peak = [&](double left, double top, double right, double base,
                              const QColor& rock) {
            QPainterPath mountain;
            mountain.moveTo(left * s, base * s);
            mountain.lineTo((left + right) / 2 * s, top * s);
            mountain.lineTo(right * s, base * s);
            mountain.closeSubpath();
            p.fillPath(mountain, rock);
            const double capDepth = 0.28;
            const double cx = (left + right) / 2;
            const double capBase = top + (base - top) * capDepth;
            const double half = (right - left) / 2 * capDepth;
            QPainterPath cap;
            cap.moveTo((cx - half) * s, capBase * s);
            cap.lineTo(cx * s, top * s);
            cap.lineTo((cx + half) * s, capBase * s);
            cap.lineTo((cx + half / 3) * s, (capBase - 0.03) * s);
            cap.lineTo((cx - half / 3) * s, (capBase + 0.01) * s);
            cap.closeSubpath();
            p.fillPath(cap, Qt::white);
        };
        peak(0.34, 0.30, 1.02, 0.84, QColor("#5d6673"));
        peak(-0.06, 0.42, 0.58, 0.84, QColor("#78828f"));
        p.fillRect(QRectF(0, 0.80 * s, s, 0.20 * s), QColor("#2f5d3a"));
    });
}

QImage problemMarker() {
    const int size = 44;
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath triangle;
    triangle.moveTo(22, 3);
    triangle.lineTo(42, 40);
    triangle.lineTo(2, 40);
    triangle.closeSubpath();
    p.setPen(QPen(QColor("#b07800"), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor("#ffc629"));
    p.drawPath(triangle);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#3a2a00"));
    p.drawRoundedRect(QRectF(19.5, 14, 5, 15), 2.5, 2.5);
    p.drawEllipse(QPointF(22, 34), 2.8, 2.8);
    return image;
}

QImage logo() {
    const int size = 56;
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#1f7a74"));
    p.drawEllipse(QRectF(2, 2, 52, 52));
    p.setPen(QPen(Qt::white, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(12, 12, 32, 32), 40 * 16, 280 * 16);
    p.setPen(QPen(QColor("#f2c14e"), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(22, 22), QPointF(28, 35), QPointF(34, 22)}));
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 64;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const std::pair<const char*, QImage> pictures[] = {
        {"Catalina", catalina()},     {"Mojave", mojave()}, {"HighSierra", highSierra()},
        {"Problem", problemMarker()}, {"Corvane", logo()},
    };
    for (const auto& [name, image] : pictures) {
        const QString file = folder + "/" + name + ".png";
        if (!image.save(file, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
