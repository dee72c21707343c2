#pragma once
// The manager's one model: which screen shows (`stage`), the contents of the forms, the
// sign-in state carried between the broker calls of the enrolment, and the state of the host
// agent, polled every four seconds. The screens only read its properties, bind their fields
// to it and call its operations.
//
// Lives on the Qt main thread; every property is read and written there. Broker calls and
// host-control probes run elsewhere and hand their results back with a queued call that does
// nothing once the model is gone. The password, the account token and the pending device's
// token live only in memory and never reach a log.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "kit/broker/registration_service.h"
#include "manager/host_operations.h"

namespace cvl {

class AppModel : public QObject {
  Q_OBJECT

 public:
  enum class Stage { Working, Dashboard, SignIn, TwoFactor, Naming, ShowQR };
  Q_ENUM(Stage)

  Q_PROPERTY(Stage stage READ stage NOTIFY stageChanged)
  // The message of the Working stage (empty on the other screens).
  Q_PROPERTY(QString workingMessage READ workingMessage NOTIFY stageChanged)
  // The one message for the user; `hasBanner` is false when there is none.
  Q_PROPERTY(QString banner READ banner NOTIFY bannerChanged)
  Q_PROPERTY(bool hasBanner READ hasBanner NOTIFY bannerChanged)
  Q_PROPERTY(bool registered READ registered NOTIFY registeredChanged)
  // Empty when fabric.json names no device.
  Q_PROPERTY(QString deviceName READ deviceName NOTIFY deviceNameChanged)
  Q_PROPERTY(bool agentRunning READ agentRunning NOTIFY agentRunningChanged)
  Q_PROPERTY(bool hasScreenRecording READ hasScreenRecording NOTIFY hasScreenRecordingChanged)
  Q_PROPERTY(bool hasAccessibility READ hasAccessibility NOTIFY hasAccessibilityChanged)
  Q_PROPERTY(bool hostInstalled READ hostInstalled NOTIFY hostInstalledChanged)
  Q_PROPERTY(QString email READ email WRITE setEmail NOTIFY emailChanged)
  Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY passwordChanged)
  Q_PROPERTY(QString twoFactorCode READ twoFactorCode WRITE setTwoFactorCode NOTIFY
                 twoFactorCodeChanged)
  Q_PROPERTY(QString computerName READ computerName WRITE setComputerName NOTIFY
                 computerNameChanged)
  Q_PROPERTY(QString confirmCode READ confirmCode WRITE setConfirmCode NOTIFY confirmCodeChanged)
  Q_PROPERTY(QString pendingOtpauth READ pendingOtpauth NOTIFY pendingOtpauthChanged)
  Q_PROPERTY(bool confirmingUninstall READ confirmingUninstall WRITE setConfirmingUninstall
                 NOTIFY confirmingUninstallChanged)
  Q_PROPERTY(bool fullyReady READ fullyReady NOTIFY fullyReadyChanged)

  struct Options {
    std::chrono::milliseconds pollInterval{4000};
    std::shared_ptr<HostOperations> host;  // HostOperations::system() when empty
  };

  explicit AppModel(QObject* parent = nullptr);
  AppModel(Options options, QObject* parent = nullptr);
  ~AppModel() override;

  Stage stage() const { return stage_; }
  QString workingMessage() const { return workingMessage_; }
  QString banner() const { return banner_.value_or(QString()); }
  bool hasBanner() const { return banner_.has_value(); }
  bool registered() const { return registered_; }
  QString deviceName() const { return deviceName_; }
  bool agentRunning() const { return agentRunning_; }
  bool hasScreenRecording() const { return hasScreenRecording_; }
  bool hasAccessibility() const { return hasAccessibility_; }
  bool hostInstalled() const { return hostInstalled_; }
  QString email() const { return email_; }
  QString password() const { return password_; }
  QString twoFactorCode() const { return twoFactorCode_; }
  QString computerName() const { return computerName_; }
  QString confirmCode() const { return confirmCode_; }
  QString pendingOtpauth() const { return pendingOtpauth_; }
  bool confirmingUninstall() const { return confirmingUninstall_; }
  bool fullyReady() const;

  void setEmail(const QString& value);
  void setPassword(const QString& value);
  void setTwoFactorCode(const QString& value);
  void setComputerName(const QString& value);
  void setConfirmCode(const QString& value);
  void setConfirmingUninstall(bool value);

  Q_INVOKABLE void refresh();
  Q_INVOKABLE void startSignIn();
  Q_INVOKABLE void submitSignIn();
  Q_INVOKABLE void submitTwoFactor();
  Q_INVOKABLE void submitName();
  Q_INVOKABLE void submitConfirm();
  Q_INVOKABLE void cancelFlow();
  Q_INVOKABLE void restartAgent();
  Q_INVOKABLE void update();
  Q_INVOKABLE void uninstall();

  // For tests: a poll is in flight; how many timer ticks have fired.
  bool isRefreshing() const { return refreshing_; }
  int pollTicks() const { return pollTicks_; }

 signals:
  void stageChanged();
  void bannerChanged();
  void registeredChanged();
  void deviceNameChanged();
  void agentRunningChanged();
  void hasScreenRecordingChanged();
  void hasAccessibilityChanged();
  void hostInstalledChanged();
  void emailChanged();
  void passwordChanged();
  void twoFactorCodeChanged();
  void computerNameChanged();
  void confirmCodeChanged();
  void pendingOtpauthChanged();
  void confirmingUninstallChanged();
  void fullyReadyChanged();

 private:
  struct Probe;

  void setStage(Stage stage, const QString& workingMessage = QString());
  void setBanner(std::optional<QString> banner);
  void applyProbe(const Probe& probe);
  void handleLogin(const LoginResult& result);
  void handleTwoFactor(const LoginResult& result);
  // Keeps the session of a successful sign-in and moves on to naming the computer.
  void signedIn(const LoginResult& result);
  void handleDevice(const DeviceResult& result);
  void handleVerified(bool confirmed, const DeviceResult& device, const std::string& accountId,
                      const std::string& name);
  void handleUninstalled(bool ok);
  void handleUpdate(bool ok, const std::string& message);

  std::shared_ptr<HostOperations> host_;

  Stage stage_ = Stage::Dashboard;
  QString workingMessage_;
  std::optional<QString> banner_;
  bool registered_ = false;
  QString deviceName_;
  bool agentRunning_ = false;
  bool hasScreenRecording_ = false;
  bool hasAccessibility_ = false;
  bool hostInstalled_ = false;
  QString email_;
  QString password_;
  QString twoFactorCode_;
  QString computerName_;
  QString confirmCode_;
  QString pendingOtpauth_;
  bool confirmingUninstall_ = false;

  std::string token_;
  std::string accountId_;
  std::string pending_;
  std::optional<DeviceResult> pendingDevice_;
  QTimer timer_;
  bool refreshing_ = false;
  int pollTicks_ = 0;
};

}  // namespace cvl
