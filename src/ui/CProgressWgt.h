// The modal dialog that accompanies one move: a progress bar fed by a timer, a log of the
// move, and one button that cancels while the worker runs and closes afterwards.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QTimer>

class CExeThread;
class QLabel;
class QProgressBar;
class QPushButton;
class QTextEdit;

class CProgressWgt : public QDialog {
    Q_OBJECT
  public:
    CProgressWgt(QWidget* parent, CExeThread* thread);
    ~CProgressWgt() override;

    // True once the worker's end has been handled: the final message is shown and the button
    // closes the page.
    bool IsResultShown() const { return finishShown; }
    // The status line as plain text (the label shows it with its lines spaced apart).
    QString StatusLine() const { return statusLine; }

  public slots:
    // Refused while the worker runs, so that the modal loop cannot end before it has finished.
    void reject() override;

  private slots:
    void OnChickMinBtn();
    void OnThreadFinish();
    void OnThreadStart();
    void OnProgressTimer();
    void OnPrintLog(int opType, QString str);
    void onBtnOk();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

  private:
    // Running, or ended with its final message still to come (finished() arrives queued).
    bool WorkerBusy() const;
    QString FinalMessage() const;
    void AppendLine(const QString& line);
    void MakeRoomForStatus();

    CExeThread* thread;
    QTimer timer;
    QProgressBar* progressBar;
    QTextEdit* logView;
    QPushButton* button;
    QString title;
    QLabel* statusLabel;
    QLabel* spareLabel;
    QStringList openingLines;
    bool finishShown = false;
    bool cancelRequested = false;  // accepted: the button stays disabled until the end
    bool cancelOffered = false;    // the button offered a cancel at the last look
    QString statusLine;
};
