#pragma once

#include <QMainWindow>
#include <QProcess>
#include <QString>

#include <memory>

class QSettings;
namespace burn
{
class BurnRun;
class RecordFolder;
struct Outcome;
} // namespace burn

namespace flasher
{

class Ui_MainWindow;

// The bare burn tool: choose a file, burn it, watch the bar. No serial link, no version gate.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    // Closing while the tool writes the device asks first: a cut write can leave it unbootable.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButton_clicked();
    void on_pushButton_Burn_clicked();

private:
    void InitConfig();
    void startTest();
    void readIperfOutput();
    void showProgress(double percent);
    void slotProcessFinished(const burn::Outcome &outcome);
    void slotProcessError(QProcess::ProcessError error);

    Ui_MainWindow *ui = nullptr;
    QString m_strFilePath;
    QSettings *m_pSettings = nullptr;
    QString m_LastDir;
    QString m_CfgFileName;
    std::unique_ptr<burn::RecordFolder> m_pRecord;
    // The burn under way, or the last one, and its tool's process; none before the first.
    burn::BurnRun *m_pRun = nullptr;
    QProcess *m_pProcess = nullptr;
    // A copy of the burn's text.
    QString m_strInfo;

    friend class FlasherInspector;
};

// The bar's two looks: green while idle or burning, red after a failed run.
extern const char *const kGreenBarStyle;
extern const char *const kRedBarStyle;

} // namespace flasher
