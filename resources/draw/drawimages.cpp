// Draws the updater's four pictures and the program's icon into the folder given as the only
// argument:
//   drawimages resources/images
#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QTextStream>
#include <QtMath>

#include <cmath>

namespace {

QImage canvas(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// A solid blue cloud with a white downward arrow cut into it, drawn on a 128 px grid.
QImage updateIcon(int size = 128)
{
    QImage image = canvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 128.0, size / 128.0);

    QPainterPath cloud;
    cloud.addEllipse(QPointF(44, 64), 26, 26);
    cloud.addEllipse(QPointF(72, 52), 34, 34);
    cloud.addEllipse(QPointF(100, 72), 20, 20);
    cloud.addRoundedRect(QRectF(14, 62, 104, 36), 18, 18);
    cloud.setFillRule(Qt::WindingFill);
    cloud = cloud.simplified();

    QPainterPath arrow;
    arrow.addPolygon(QPolygonF({QPointF(58, 42), QPointF(74, 42), QPointF(74, 70), QPointF(88, 70),
                                QPointF(66, 94), QPointF(44, 70), QPointF(58, 70), QPointF(58, 42)}));

    QLinearGradient blue(0, 18, 0, 100);
    blue.setColorAt(0, QColor(0x4d, 0x9c, 0xff));
    blue.setColorAt(1, QColor(0x1f, 0x6f, 0xe8));
    p.fillPath(cloud.subtracted(arrow), blue);
    p.fillPath(arrow.intersected(cloud), Qt::white);
    return image;
}

// A thin diagonal cross.
QImage cross(const QColor &color)
{
    QImage image = canvas(32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(color, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(7, 7), QPointF(25, 25));
    p.drawLine(QPointF(25, 7), QPointF(7, 25));
    return image;
}

// Isometric projection around an origin: x runs down-right, y down-left, z up.
struct Iso
{
    QPointF origin;
    double unit;
    QPointF at(double x, double y, double z) const
    {
        const double c = std::cos(M_PI / 6) * unit;
        const double s = std::sin(M_PI / 6) * unit;
        return origin + QPointF((x - y) * c, (x + y) * s - z * unit);
    }
    QPolygonF quad(QPointF a, QPointF b, QPointF c, QPointF d) const { return QPolygonF({a, b, c, d}); }
};

void box(QPainter &p, const Iso &iso, double x, double y, double z, double w, double d, double h,
         const QColor &top, const QColor &left, const QColor &right)
{
    p.setPen(Qt::NoPen);
    p.setBrush(left);
    p.drawPolygon(iso.quad(iso.at(x, y + d, z), iso.at(x + w, y + d, z), iso.at(x + w, y + d, z + h),
                           iso.at(x, y + d, z + h)));
    p.setBrush(right);
    p.drawPolygon(iso.quad(iso.at(x + w, y, z), iso.at(x + w, y + d, z), iso.at(x + w, y + d, z + h),
                           iso.at(x + w, y, z + h)));
    p.setBrush(top);
    p.drawPolygon(iso.quad(iso.at(x, y, z + h), iso.at(x + w, y, z + h), iso.at(x + w, y + d, z + h),
                           iso.at(x, y + d, z + h)));
}

// A flat card standing in the plane y = const, facing the viewer's left.
void card(QPainter &p, const Iso &iso, double x, double y, double z, double w, double h, const QColor &fill)
{
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPolygon(iso.quad(iso.at(x, y, z), iso.at(x + w, y, z), iso.at(x + w, y, z + h), iso.at(x, y, z + h)));
}

void ring(QPainter &p, QPointF centre, double radius, double width)
{
    const QRectF r(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    const QColor colors[] = {QColor(0x66, 0x99, 0xff), QColor(0xff, 0xb3, 0x47), QColor(0x5c, 0xd6, 0xa8),
                             QColor(0xe8, 0xee, 0xf7)};
    const int spans[] = {130, 80, 70, 80};
    int start = 90;
    for (int i = 0; i < 4; ++i) {
        p.setPen(QPen(colors[i], width, Qt::SolidLine, Qt::FlatCap));
        p.drawArc(r, start * 16, -spans[i] * 16);
        start -= spans[i];
    }
}

// An open laptop with charts, a ring diagram and a small "update" sign.
QImage illustration()
{
    QImage image = canvas(2000);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const Iso iso{QPointF(1000, 1010), 26};

    // Floor shadow.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x9d, 0xb8, 0xe0, 70));
    p.drawPolygon(QPolygonF({iso.at(-20, -20, 0), iso.at(20, -20, 0), iso.at(20, 20, 0), iso.at(-20, 20, 0)}));

    // Base with keyboard and touchpad.
    box(p, iso, -12, -8, 0, 24, 17, 1.2, QColor(0xf4, 0xf7, 0xfc), QColor(0xb7, 0xc6, 0xdd), QColor(0xd2, 0xdc, 0xeb));
    p.setBrush(QColor(0xc9, 0xd5, 0xe8));
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 10; ++col) {
            const double x = -10 + col * 2.0, y = -6 + row * 2.0;
            p.drawPolygon(iso.quad(iso.at(x, y, 1.2), iso.at(x + 1.6, y, 1.2), iso.at(x + 1.6, y + 1.6, 1.2),
                                   iso.at(x, y + 1.6, 1.2)));
        }
    p.drawPolygon(iso.quad(iso.at(-4, 2.5, 1.2), iso.at(4, 2.5, 1.2), iso.at(4, 7.5, 1.2), iso.at(-4, 7.5, 1.2)));

    // Screen standing on the back edge.
    card(p, iso, -12, -8, 1.2, 24, 16, QColor(0x3b, 0x4a, 0x6b));
    card(p, iso, -11, -8.05, 2.2, 22, 14, QColor(0xf0, 0xf6, 0xff));
    // Bar chart on the screen.
    const double bars[] = {3, 6, 4.5, 8, 10};
    for (int i = 0; i < 5; ++i)
        card(p, iso, -9.5 + i * 2.2, -8.1, 3.2, 1.4, bars[i], i == 4 ? QColor(0x66, 0x99, 0xff) : QColor(0xa9, 0xc4, 0xff));
    // A line chart beside it.
    QPolygonF line;
    const double values[] = {4, 6, 5, 9, 8, 12};
    for (int i = 0; i < 6; ++i)
        line << iso.at(2 + i * 1.6, -8.1, 3 + values[i]);
    p.setPen(QPen(QColor(0xff, 0x8a, 0x3d), 10, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(line);

    // Floating panels around the laptop.
    const QColor panel(0xff, 0xff, 0xff, 235);
    p.setPen(QPen(QColor(0xd5, 0xe2, 0xf5), 6));
    p.setBrush(panel);
    p.drawRoundedRect(QRectF(230, 330, 420, 300), 36, 36);
    p.drawRoundedRect(QRectF(1380, 420, 420, 420), 36, 36);
    p.drawRoundedRect(QRectF(1330, 1250, 460, 260), 36, 36);

    // Area chart panel.
    QPainterPath area;
    area.moveTo(270, 590);
    const double heights[] = {80, 130, 110, 190, 160, 230};
    for (int i = 0; i < 6; ++i)
        area.lineTo(270 + i * 68, 590 - heights[i]);
    area.lineTo(610, 590);
    area.closeSubpath();
    p.setPen(Qt::NoPen);
    p.fillPath(area, QColor(0x66, 0x99, 0xff, 150));

    ring(p, QPointF(1590, 630), 130, 56);

    // Small bars panel.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 5; ++i) {
        const double h = 40 + 30 * ((i * 7) % 5);
        p.setBrush(i % 2 ? QColor(0x5c, 0xd6, 0xa8) : QColor(0x66, 0x99, 0xff));
        p.drawRoundedRect(QRectF(1390 + i * 78, 1470 - h, 46, h), 10, 10);
    }

    // The "update" sign on a post.
    p.setBrush(QColor(0x8a, 0x9b, 0xb8));
    p.drawRect(QRectF(452, 1250, 18, 330));
    p.setBrush(QColor(0x66, 0x99, 0xff));
    p.drawRoundedRect(QRectF(250, 1130, 420, 150), 30, 30);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(92);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(250, 1130, 420, 150), Qt::AlignCenter, QStringLiteral("update"));

    // Download arrow above the screen.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0xb3, 0x47));
    p.drawEllipse(QPointF(1000, 250), 110, 110);
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(975, 180), QPointF(1025, 180), QPointF(1025, 255), QPointF(1065, 255),
                             QPointF(1000, 325), QPointF(935, 255), QPointF(975, 255)}));
    return image;
}

// The program's icon, as Windows shows it in Explorer and the taskbar: the cloud at each size
// Windows asks for, drawn afresh at each, stored as PNG (which Windows reads in icons since Vista).
QByteArray programIcon()
{
    const int sizes[] = {16, 20, 24, 32, 40, 48, 64, 256};
    QByteArray header;
    QByteArray images;
    QDataStream out(&header, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const int count = int(sizeof sizes / sizeof *sizes);
    out << quint16(0) << quint16(1) << quint16(count);
    for (const int size : sizes) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        updateIcon(size).convertToFormat(QImage::Format_ARGB32).save(&buffer, "PNG");
        // Width and height 0 stand for 256.
        out << quint8(size % 256) << quint8(size % 256) << quint8(0) << quint8(0) << quint16(1) << quint16(32)
            << quint32(png.size()) << quint32(6 + 16 * count + images.size());
        images += png;
    }
    return header + images;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: drawimages OUTPUT_DIR\n";
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const struct
    {
        const char *name;
        QImage image;
    } pictures[] = {
        {"update.png", updateIcon()},
        {"close.png", cross(QColor(0x9a, 0x9a, 0x9a))},
        {"closeFFF.png", cross(Qt::white)},
        {"updateLogo.png", illustration()},
    };
    for (const auto &picture : pictures) {
        const QString path = dir.filePath(QLatin1String(picture.name));
        if (!picture.image.convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
            err << "cannot write " << path << '\n';
            return 1;
        }
    }
    QFile icon(dir.filePath(QStringLiteral("UpdateQuorilexVideo.ico")));
    const QByteArray iconBytes = programIcon();
    if (!icon.open(QIODevice::WriteOnly) || icon.write(iconBytes) != iconBytes.size()) {
        err << "cannot write " << icon.fileName() << '\n';
        return 1;
    }
    return 0;
}
