// The program's icons: drawn from their SVG at whatever size and pixel ratio is asked for, and
// named as the icon theme knows them, so that a tray host that looks icons up by name draws the
// installed one sharp at any scale.
#include <QIconEngine>
#include <QPainter>
#include <QSvgRenderer>

#include "app/AppIcon.h"

// The icons live in this static library: their resources are registered by hand.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace brisk::app {
namespace {

class SvgThemeIconEngine : public QIconEngine {
 public:
  explicit SvgThemeIconEngine(const QString& name) : m_name(name) {
    static const bool registered = (InitIconResources(), true);
    (void)registered;
  }
  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    QSvgRenderer(Path()).render(painter, rect);
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paint(&painter, QRect(QPoint(0, 0), size), mode, state);
    return pixmap;
  }
  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                       qreal scale) override {
    QPixmap scaled = pixmap(size * scale, mode, state);
    scaled.setDevicePixelRatio(scale);
    return scaled;
  }
  // The sizes a host that takes pixmaps gets.
  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    QList<QSize> sizes;
    for (int side : {16, 22, 24, 32, 48, 64, 128}) sizes.append(QSize(side, side));
    return sizes;
  }
  QString iconName() override { return m_name; }
  QString key() const override { return QStringLiteral("brisk-svg-theme"); }
  QIconEngine* clone() const override { return new SvgThemeIconEngine(m_name); }

 private:
  QString Path() const { return QStringLiteral(":/icons/%1.svg").arg(m_name); }
  QString m_name;
};

}  // namespace

QIcon LoadIcon(const QString& name) { return QIcon(new SvgThemeIconEngine(name)); }

}  // namespace brisk::app
