#pragma once
// What the screens read and call besides the model: the dashboard's "Grant" buttons go to
// host control directly, and the texts that name the web site or the version. GUI thread.

#include <QObject>
#include <QString>

namespace cvl {

class HostControlBridge : public QObject {
  Q_OBJECT
  // The web site's host name, as the forms and the reinstall note show it.
  Q_PROPERTY(QString websiteHost READ websiteHost CONSTANT)
  // The project's version, "?" when the build carries none.
  Q_PROPERTY(QString appVersion READ appVersion CONSTANT)

 public:
  using QObject::QObject;

  QString websiteHost() const;
  QString appVersion() const;

  Q_INVOKABLE void openScreenRecordingPane();
  Q_INVOKABLE void openAccessibilityPane();
};

// The version as shown: "?" when there is none.
QString versionOrUnknown(const QString& version);

// The web address without its scheme ("https://corvello.example" -> "corvello.example").
QString withoutScheme(const QString& url);

}  // namespace cvl
