// cvlmanager: one fixed-size window whose content follows the model's stage.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>

#include "manager/app_model.h"

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  app.setApplicationName(QStringLiteral("Corvello"));
  app.setDesktopFileName(QStringLiteral("corvello"));
  QQuickStyle::setStyle(QStringLiteral("Fusion"));

  qmlRegisterUncreatableType<cvl::AppModel>("Corvello.Model", 1, 0, "AppModel",
                                            QStringLiteral("created by the application"));
  cvl::AppModel model;
  if (app.arguments().contains(QStringLiteral("--uninstall"))) model.setConfirmingUninstall(true);

  QQmlApplicationEngine engine;
  engine.rootContext()->setContextProperty(QStringLiteral("appModel"), &model);
  engine.load(QUrl(QStringLiteral("qrc:/Main.qml")));
  if (engine.rootObjects().isEmpty()) return 1;
  return app.exec();
}
