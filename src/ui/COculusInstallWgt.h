// The source/target page: shows where the installation is, takes a target folder, checks it
// and runs the move behind the modal progress page.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>

#include "TaskMgr/InstallState.h"

class QLabel;
class QLineEdit;
class QPushButton;

class COculusInstallWgt : public QWidget {
    Q_OBJECT
  public:
    explicit COculusInstallWgt(QWidget* parent);
    ~COculusInstallWgt() override;

    // Start-up: when a move was stopped, says what the disk shows and offers to finish it or to
    // put it back (or later), and runs the choice behind the progress page.
    void OfferRecovery();
    // Reads the installation's state and shows it: the note row with its action, where the data
    // is in the source and target fields.
    int32_t ShowInstallState();  // 0, or the code of the failed look
    const InstallState& ShownState() const { return state_; }

  private slots:
    void OnChickSelDestPathBtn();
    void OnChickStartBtn();
    void OnVrInstallDirChange(QString qstr);
    void OnChickActionBtn();
    void OnChickBackBtn();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Puts the note in the lines its row has, with paths shortened in the middle as needed.
    void FitNote();
    // Runs the worker's operation behind the modal progress page.
    void RunWorker(int32_t operation, const std::wstring& target, const std::wstring& source);

    QLabel* noteLabel;
    QLabel* stateLabel;      // the note under the buttons: the installation's state
    QPushButton* actionBtn;  // left of "Start Move": check, finish, put back or re-point
    int32_t noteAction = 0;  // the worker's operation behind actionBtn
    QPushButton* backBtn;    // beside it, for a moved library: move it back home
    InstallState state_;
    bool stateKnown_ = false;  // state_ was read; otherwise the note says Halvex cannot look
    QLineEdit* sourceEdit;
    QLineEdit* targetEdit;
    QPushButton* browseBtn;
    QPushButton* startBtn;
};

// Detects the source again and announces it (or the failure text) to the page.
void AnnounceSourceDir();
