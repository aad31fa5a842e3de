#pragma once

// QuorbelStation's window: the top row (the file, "全部升级", "插入即升级", the counts) and one
// row per lane. It shows the station and asks the user; the station and its lanes do the rest.

#include <QMainWindow>
#include <QString>

class PortWatcher;
class QCheckBox;
class QLabel;
class QPushButton;
class QSettings;
class QTableWidget;

namespace station
{

class Lane;
class Station;

class StationWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit StationWindow(QWidget *parent = nullptr);
    ~StationWindow() override;

    Station *station() const { return m_station; }

protected:
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;
    // Closing while tools write asks first, naming how many: a cut write can leave a device
    // unbootable. Yes stops every run.
    void closeEvent(QCloseEvent *event) override;

private:
    void chooseFile();
    void addRow(int index, Lane *lane);
    void showLane(Lane *lane);
    void showStation();

    QSettings *m_pSettings = nullptr;
    QString m_LastDir;
    Station *m_station = nullptr;
    PortWatcher *m_watcher = nullptr;
    QPushButton *m_chooseFile = nullptr;
    QLabel *m_file = nullptr;
    QPushButton *m_startAll = nullptr;
    QCheckBox *m_autoStart = nullptr;
    QLabel *m_counts = nullptr;
    QTableWidget *m_lanes = nullptr;
};

} // namespace station
