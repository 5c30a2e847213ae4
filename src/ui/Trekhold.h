// The main window: a frameless, fixed-size window with a painted header, its own title-bar
// buttons and menu, and the source/target page as its working area.
#pragma once

#include <QString>
#include <QWidget>

class COculusInstallWgt;
class QAction;
class QLabel;
class QMenu;
class QPushButton;

class Trekhold : public QWidget {
    Q_OBJECT
  public:
    explicit Trekhold(QWidget* parent);
    ~Trekhold() override;

    void OfferRecovery();  // start-up, once the window shows (COculusInstallWgt::OfferRecovery)

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

  private slots:
    void OnChickMenuBtn();
    void OnChickMinBtn();
    void onMenuTrigger(QAction* action);
    void onMenuBtn();

  private:
    QString title;
    QPushButton* menuBtn;
    QPushButton* minBtn;
    QPushButton* closeBtn;
    QLabel* descriptionLabel;
    QLabel* pictureLabel;
    COculusInstallWgt* page;
    QMenu* menu;
};
