// GoogleTest under a QGuiApplication on the offscreen platform with Qt Quick's software
// renderer, set up with the manager's look and its QML module.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QGuiApplication>
#include <QtQml/qqmlextensionplugin.h>

#include "manager/manager_window.h"

Q_IMPORT_QML_PLUGIN(CorvelloPlugin)

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::setenv("QT_QUICK_BACKEND", "software", 0);
  QGuiApplication app(argc, argv);
  cvl::setUpManagerLook(app);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
