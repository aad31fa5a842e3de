#include "stationwindow.h"

#include "closing.h"
#include "firmwarechoice.h"
#include "lane.h"
#include "portwatcher.h"
#include "stagelimits.h"
#include "startup.h"
#include "station.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

namespace station
{

namespace
{

enum Column { PortColumn, SerialColumn, VersionColumn, ChargeColumn, BarColumn, StateColumn };

void repolish(QWidget *widget, const char *state)
{
    widget->setProperty("state", QString::fromLatin1(state));
    widget->style()->polish(widget);
}

// The bar of a lane in that state: its value, its text and its look in the style sheet.
void showBar(QProgressBar *bar, const Lane &lane)
{
    const Lane::State state = lane.state();
    const bool burnt =
        lane.isRunning() || state == Lane::State::Succeeded || state == Lane::State::Failed;
    bar->setValue(burnt ? lane.progress() : 0);
    bar->setTextVisible(burnt);
    bar->setFormat(state == Lane::State::Burning     ? QStringLiteral("升级中... %p%")
                   : state == Lane::State::Verifying ? QStringLiteral("验证中...")
                                                     : QStringLiteral("%p%"));
    const char *look = state == Lane::State::Failed ? "error" : burnt ? "burning" : "";
    if (bar->property("state").toString() != QLatin1String(look))
        repolish(bar, look);
}

} // namespace

StationWindow::StationWindow(QWidget *parent) : QMainWindow(parent)
{
    startup::applyStyleSheet();
    setWindowTitle(tr("Quorbel 工位"));
    setWindowIcon(QIcon(QStringLiteral(":/Image/Image/logo.ico")));

    const firmware::Config config = firmware::openConfig();
    m_pSettings = config.settings;
    m_LastDir = config.lastDir;
    m_station = new Station(QFileInfo(config.fileName).path(),
                            firmware::readLimits(*config.settings), this);

    auto *central = new QWidget(this);
    auto *top = new QHBoxLayout;
    m_chooseFile = new QPushButton(tr("选择文件"), central);
    m_chooseFile->setObjectName(QStringLiteral("pushButton"));
    m_file = new QLabel(central);
    m_file->setObjectName(QStringLiteral("file"));
    // A long file name gives way rather than push the counts out of the window; the tip holds
    // the whole path.
    m_file->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_startAll = new QPushButton(tr("全部升级"), central);
    m_startAll->setObjectName(QStringLiteral("pushButton_Burn"));
    m_autoStart = new QCheckBox(tr("插入即升级"), central);
    m_counts = new QLabel(central);
    m_counts->setObjectName(QStringLiteral("counts"));
    top->addWidget(m_chooseFile);
    top->addWidget(m_file, 1);
    top->addWidget(m_startAll);
    top->addWidget(m_autoStart);
    top->addWidget(m_counts);

    m_lanes = new QTableWidget(0, 6, central);
    m_lanes->setHorizontalHeaderLabels(
        {tr("端口"), tr("序列号"), tr("版本"), tr("电量"), tr("进度"), tr("状态")});
    m_lanes->verticalHeader()->hide();
    m_lanes->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_lanes->setSelectionMode(QAbstractItemView::NoSelection);
    QHeaderView *header = m_lanes->horizontalHeader();
    for (int column : {PortColumn, SerialColumn})
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(BarColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(StateColumn, QHeaderView::Stretch);

    auto *layout = new QVBoxLayout(central);
    layout->addLayout(top);
    layout->addWidget(m_lanes, 1);
    setCentralWidget(central);
    resize(900, 480);

    connect(m_chooseFile, &QPushButton::clicked, this, &StationWindow::chooseFile);
    connect(m_startAll, &QPushButton::clicked, m_station, &Station::startAll);
    connect(m_autoStart, &QCheckBox::toggled, m_station, &Station::setAutoStart);
    connect(m_station, &Station::laneAdded, this, &StationWindow::addRow);
    connect(m_station, &Station::laneRemoved, m_lanes, &QTableWidget::removeRow);
    connect(m_station, &Station::changed, this, &StationWindow::showStation);

    m_watcher = new PortWatcher(this);
    connect(m_watcher, &PortWatcher::portArrived, m_station, &Station::portArrived);
    connect(m_watcher, &PortWatcher::portRemoved, m_station, &Station::portRemoved);
    showStation();
    m_station->refreshPorts();
}

StationWindow::~StationWindow()
{
    // The lanes go while the table they show in is still there.
    delete m_station;
    m_station = nullptr;
}

void StationWindow::chooseFile()
{
    const QString filePath = firmware::chooseFirmwareFile(this, m_LastDir);
    if (filePath.isEmpty())
        return;
    m_LastDir = firmware::folderOf(filePath);
    firmware::storeLastDir(m_pSettings, m_LastDir);
    m_station->setFirmware(filePath);
}

void StationWindow::addRow(int index, Lane *lane)
{
    m_lanes->insertRow(index);
    for (int column : {PortColumn, SerialColumn, VersionColumn, ChargeColumn, StateColumn})
        m_lanes->setItem(index, column, new QTableWidgetItem);
    m_lanes->item(index, PortColumn)->setText(lane->port());
    m_lanes->setCellWidget(index, BarColumn, new QProgressBar);
    connect(lane, &Lane::changed, this, [this, lane] { showLane(lane); });
    showLane(lane);
}

void StationWindow::showLane(Lane *lane)
{
    const int row = m_station->lanes().indexOf(lane);
    if (row < 0)
        return;
    m_lanes->item(row, SerialColumn)->setText(lane->serial());
    m_lanes->item(row, VersionColumn)
        ->setText(lane->version() >= 0 ? QString::number(lane->version()) : QString());
    m_lanes->item(row, ChargeColumn)
        ->setText(lane->charge() >= 0 ? QStringLiteral("%1%").arg(lane->charge()) : QString());
    m_lanes->item(row, StateColumn)->setText(lane->stateText());
    showBar(static_cast<QProgressBar *>(m_lanes->cellWidget(row, BarColumn)), *lane);
}

void StationWindow::showStation()
{
    const QString path = m_station->firmwarePath();
    const int version = m_station->firmwareVersion();
    m_file->setText(QFileInfo(path).fileName() +
                    (version >= 0 ? QStringLiteral("  版本 %1").arg(version) : QString()));
    m_file->setToolTip(path);
    const Station::Counts counts = m_station->counts();
    m_counts->setText(tr("成功 %1  失败 %2  跳过 %3")
                          .arg(counts.succeeded)
                          .arg(counts.failed)
                          .arg(counts.skipped));
    m_chooseFile->setEnabled(!m_station->isBurning());
    m_startAll->setEnabled(m_station->hasReady());
}

bool StationWindow::nativeEvent(const QByteArray &eventType, void *message, long *result)
{
    m_watcher->takeNativeMessage(message);
    return QMainWindow::nativeEvent(eventType, message, result);
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    const QString question =
        tr("正在升级 %1 台设备，关闭窗口将中断升级，设备可能无法启动。确定关闭吗？")
            .arg(m_station->writingCount());
    const bool close = burn::mayClose(this, m_station->runs(), tr("警告"), question);
    if (close)
        m_station->stopAll();
    event->setAccepted(close);
}

} // namespace station
