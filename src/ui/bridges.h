// The two process-wide signal bridges, through which code that does not know the windows
// reaches them: a newly detected source location for the source/target page, and status and
// log lines for an open progress page. Either may be emitted from any thread.
#pragma once

#include <QObject>
#include <QString>

class CNotifyStateChange : public QObject {
    Q_OBJECT
  public:
    void NotifySourcePath(QString text) { emit sigVrSourcePathChange(text); }

  signals:
    void sigVrSourcePathChange(QString);
};

class CUiCallBack : public QObject {
    Q_OBJECT
  signals:
    // opType 0: a log line; 1: a log line that also disables the page's button; 2: a status.
    void sigLogPrint(int opType, QString str);
};

extern CNotifyStateChange g_notifyStateChange;
extern CUiCallBack g_uiCallBack;
