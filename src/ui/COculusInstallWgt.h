// The source/target page: shows where the installation is, takes a target folder, checks it
// and runs the move behind the modal progress page.
#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

class COculusInstallWgt : public QWidget {
    Q_OBJECT
  public:
    explicit COculusInstallWgt(QWidget* parent);
    ~COculusInstallWgt() override;

  private slots:
    void OnChickSelDestPathBtn();
    void OnChickStartBtn();
    void OnVrInstallDirChange(QString qstr);

  private:
    // The first refusal of the start checks, or an empty text when the move may start; then
    // source holds the tidied source location that the checks compared the target with.
    QString RefusalOfTarget(const QString& target, QString& source);
    void RunMove(const QString& target);

    QLabel* noteLabel;
    QLineEdit* sourceEdit;
    QLineEdit* targetEdit;
    QPushButton* browseBtn;
    QPushButton* startBtn;
};

// Detects the source again and announces it (or the failure text) to the page.
void AnnounceSourceDir();
