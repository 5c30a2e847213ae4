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

// What a line posted through sigLogPrint is: its opType.
enum LogPrintOp : int {
    kPrintLogLine = 0,       // a line of the progress page's log
    kPrintLogLineFinal = 1,  // a log line that also disables the page's button
    kPrintStatus = 2,        // the status line
};

class CUiCallBack : public QObject {
    Q_OBJECT
  signals:
    void sigLogPrint(int opType, QString str);  // opType: LogPrintOp
};

extern CNotifyStateChange g_notifyStateChange;
extern CUiCallBack g_uiCallBack;
