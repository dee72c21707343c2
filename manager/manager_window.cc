#include "manager/manager_window.h"

#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QQmlContext>
#include <QQuickStyle>
#include <QQuickWindow>

#include "manager/app_model.h"
#include "manager/host_control_bridge.h"
#include "manager/qr_code_item.h"

namespace cvl {

namespace {

// The app's icon (the same drawing as packaging/corvello.svg), for window lists and title bars
// of X11 sessions; the desktop entry's icon serves everywhere else.
QIcon appIcon() {
  QIcon icon;
  for (int size : {32, 64, 128}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 128.0, size / 128.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x25, 0x63, 0xeb));
    painter.drawRoundedRect(QRectF(4, 4, 120, 120), 28, 28);
    QPen white(Qt::white, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(white);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(24, 30, 80, 54), 7, 7);
    painter.drawLine(QPointF(48, 100), QPointF(80, 100));
    painter.drawLine(QPointF(64, 84), QPointF(64, 100));
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(64, 57), 9, 9);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace

void setUpManagerLook(QGuiApplication& app) {
  app.setWindowIcon(appIcon());
  // Fusion is the Qt Quick Controls style that reads as a desktop app on every Linux desktop.
  // Colours, sizes and the mapping of the product's text styles live in qml/Theme.qml.
  QQuickStyle::setStyle(QStringLiteral("Fusion"));
  QFont font(QStringLiteral("Inter"));
  font.setPixelSize(14);
  font.setHintingPreference(QFont::PreferNoHinting);
  app.setFont(font);

  QPalette palette;
  const QColor text(0x1d, 0x1d, 0x1f);
  palette.setColor(QPalette::Window, QColor(0xf5, 0xf5, 0xf7));
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::AlternateBase, QColor(0xf0, 0xf0, 0xf2));
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Button, QColor(0xfc, 0xfc, 0xfd));
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::Highlight, QColor(0x25, 0x63, 0xeb));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Light, Qt::white);
  palette.setColor(QPalette::Midlight, QColor(0xe8, 0xe8, 0xed));
  palette.setColor(QPalette::Mid, QColor(0xd2, 0xd2, 0xd7));
  palette.setColor(QPalette::Dark, QColor(0xa1, 0xa1, 0xa6));
  palette.setColor(QPalette::Shadow, QColor(0x60, 0x60, 0x66));
  palette.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
  palette.setColor(QPalette::ToolTipBase, Qt::white);
  palette.setColor(QPalette::ToolTipText, text);
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0xa1, 0xa1, 0xa6));
  palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0xa1, 0xa1, 0xa6));
  palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0xa1, 0xa1, 0xa6));
  app.setPalette(palette);
}

void registerManagerTypes() {
  static bool done = false;
  if (done) return;
  done = true;
  qmlRegisterUncreatableType<AppModel>("Corvello.Model", 1, 0, "AppModel",
                                       QStringLiteral("the application creates the one model"));
  qmlRegisterType<QRCodeItem>("Corvello.Model", 1, 0, "QRCode");
}

std::unique_ptr<QQmlApplicationEngine> loadManagerWindow(AppModel& model,
                                                         HostControlBridge& bridge) {
  registerManagerTypes();
  auto engine = std::make_unique<QQmlApplicationEngine>();
  engine->rootContext()->setContextProperty(QStringLiteral("appModel"), &model);
  engine->rootContext()->setContextProperty(QStringLiteral("hostControl"), &bridge);
  engine->load(QUrl(QStringLiteral("qrc:/Corvello/Main.qml")));
  if (engine->rootObjects().isEmpty()) return nullptr;
  return engine;
}

QQuickWindow* managerWindow(QQmlApplicationEngine& engine) {
  if (engine.rootObjects().isEmpty()) return nullptr;
  return qobject_cast<QQuickWindow*>(engine.rootObjects().first());
}

}  // namespace cvl
