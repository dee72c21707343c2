#include "manager/host_control_bridge.h"

#include "manager/host_control.h"

namespace cvl {

QString withoutScheme(const QString& url) {
  qsizetype separator = url.indexOf(QStringLiteral("://"));
  return separator < 0 ? url : url.mid(separator + 3);
}

QString HostControlBridge::websiteHost() const {
  return withoutScheme(QString::fromStdString(HostControl::websiteUrl()));
}

QString versionOrUnknown(const QString& version) {
  return version.isEmpty() ? QStringLiteral("?") : version;
}

QString HostControlBridge::appVersion() const {
  return versionOrUnknown(QStringLiteral(CVL_VERSION));
}

void HostControlBridge::openScreenRecordingPane() { HostControl::openScreenRecordingPane(); }
void HostControlBridge::openAccessibilityPane() { HostControl::openAccessibilityPane(); }

}  // namespace cvl
