// The About dialog, opened from the main window's menu.
#pragma once

#include <QDialog>

class QLabel;
class QPixmap;
class QPushButton;

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent);
    ~CAboutDlg() override;

  public slots:
    void onBtnClose();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

  private:
    QPushButton* okBtn;
    QPushButton* closeBtn;
    QLabel* textLabel;
    QLabel* pictureLabel;
    QPixmap* headerPixmap;
};
