#include "station.h"

#include "flashtext.h"
#include "portlist.h"

#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace station
{

Station::Station(const QString &configDir, const firmware::Limits &limits, QObject *parent)
    : QObject(parent), m_record(configDir), m_limits(limits), m_ports(new PortList(this))
{
    connect(m_ports, &PortList::listed, this, &Station::setPorts);
}

Station::~Station()
{
    const QList<Lane *> lanes = std::exchange(m_lanes, {});
    qDeleteAll(lanes);
}

void Station::setFirmware(const QString &path)
{
    m_filePath = path;
    m_fileVersion = flashtext::fileVersion(QFileInfo(path).fileName());
    for (Lane *lane : qAsConst(m_lanes))
        lane->setFirmware(m_filePath, m_fileVersion);
    emit changed();
}

void Station::startAll()
{
    for (Lane *lane : qAsConst(m_lanes)) {
        if (lane->state() == Lane::State::Ready) {
            lane->queue();
            m_queue << lane;
        }
    }
    admit();
}

void Station::admit()
{
    // One start at a time: the next lane starts once the last one's tool runs (or its burn is
    // over). Eight hashes that end together would otherwise start eight tools in one turn of
    // the event loop, and their forks hold the window for a frame or two. Its read-back holds
    // nothing back: a place freed meanwhile is taken at once.
    const Lane *last = m_starting;
    if (last && last->state() == Lane::State::Burning && last->run() && !last->run()->isWriting())
        return;
    const int running = int(std::count_if(m_lanes.cbegin(), m_lanes.cend(),
                                          [](const Lane *lane) { return lane->isRunning(); }));
    if (running >= m_limits.maxParallel)
        return;
    while (!m_queue.isEmpty()) {
        const QPointer<Lane> lane = m_queue.takeFirst();
        if (!lane || lane->state() != Lane::State::Queued)
            continue;
        lane->burn();
        m_starting = lane;
        connect(lane->run(), &burn::BurnRun::writingChanged, this, &Station::admit,
                Qt::QueuedConnection);
        return;
    }
}

void Station::stopAll()
{
    m_queue.clear();
    for (Lane *lane : qAsConst(m_lanes))
        lane->stop();
}

bool Station::hasReady() const
{
    return std::any_of(m_lanes.cbegin(), m_lanes.cend(),
                       [](const Lane *lane) { return lane->state() == Lane::State::Ready; });
}

bool Station::isBurning() const
{
    return std::any_of(m_lanes.cbegin(), m_lanes.cend(), [](const Lane *lane) {
        return lane->isRunning() || lane->state() == Lane::State::Queued;
    });
}

QList<const burn::BurnRun *> Station::runs() const
{
    QList<const burn::BurnRun *> runs;
    for (const Lane *lane : m_lanes) {
        if (lane->run())
            runs << lane->run();
    }
    return runs;
}

int Station::writingCount() const
{
    const QList<const burn::BurnRun *> all = runs();
    return int(std::count_if(all.cbegin(), all.cend(),
                             [](const burn::BurnRun *run) { return run->isWriting(); }));
}

void Station::refreshPorts()
{
    ++m_listsAsked;
    m_ports->refresh();
}

void Station::portArrived(const QString &portName)
{
    const int index = indexOf(portName);
    if (index >= 0) {
        const Lane *lane = m_lanes.at(index);
        // A chip on its own USB leaves and comes back at every reset, the lane's own probe and
        // burn included, and the news may come after the lane's verdict: only a unit that was
        // heard gone once the lane was done, or a port where none was found, is plugged in anew.
        const bool again = m_unplugged.contains(lane) || lane->state() == Lane::State::NoDevice ||
                           lane->state() == Lane::State::NoTool;
        if (again && !lane->isBusy() && lane->state() != Lane::State::Queued) {
            removeLane(index);
            addLane(portName);
        }
    }
    refreshPorts();
}

void Station::portRemoved(const QString &portName)
{
    // The list says what is left; a busy lane stays whatever its port.
    const int index = indexOf(portName);
    if (index >= 0 && !m_lanes.at(index)->isBusy())
        m_unplugged.insert(m_lanes.at(index));
    refreshPorts();
}

void Station::setPorts(const QStringList &ports)
{
    ++m_listsSeen;
    for (int i = m_lanes.size() - 1; i >= 0; --i) {
        const Lane *lane = m_lanes.at(i);
        if (!ports.contains(lane->port()) && !lane->isBusy() &&
            m_listsSeen > m_idleSince.value(lane))
            removeLane(i);
    }
    for (const QString &port : ports) {
        if (indexOf(port) < 0)
            addLane(port);
    }
}

int Station::indexOf(const QString &port) const
{
    for (int i = 0; i < m_lanes.size(); ++i) {
        if (m_lanes.at(i)->port() == port)
            return i;
    }
    return -1;
}

void Station::addLane(const QString &port)
{
    // Plain code-unit order, as the port list itself is sorted.
    const auto after = std::find_if(m_lanes.cbegin(), m_lanes.cend(),
                                    [&port](const Lane *lane) { return lane->port() > port; });
    const int index = int(after - m_lanes.cbegin());
    auto *lane = new Lane(port, &m_record, m_limits, this);
    lane->setFirmware(m_filePath, m_fileVersion);
    connect(lane, &Lane::stateChanged, this,
            [this, lane](Lane::State state) { laneChanged(lane, state); });
    m_lanes.insert(index, lane);
    emit laneAdded(index, lane);
    lane->start();
    emit changed();
}

void Station::removeLane(int index)
{
    Lane *lane = m_lanes.takeAt(index);
    m_queue.removeAll(lane);
    m_idleSince.remove(lane);
    m_skipped.remove(lane);
    m_unplugged.remove(lane);
    emit laneRemoved(index);
    delete lane;
    emit changed();
}

void Station::laneChanged(Lane *lane, Lane::State state)
{
    if (!lane->isBusy())
        m_idleSince.insert(lane, m_listsAsked);
    else
        m_unplugged.remove(lane); // it found its unit there after all
    switch (state) {
    case Lane::State::SameVersion:
        if (!m_skipped.contains(lane)) {
            m_skipped.insert(lane);
            ++m_counts.skipped;
        }
        break;
    case Lane::State::Ready:
        if (m_autoStart) {
            lane->queue();
            m_queue << lane;
            admit();
        }
        break;
    case Lane::State::Succeeded:
        ++m_counts.succeeded;
        admit();
        break;
    case Lane::State::Failed:
        ++m_counts.failed;
        admit();
        break;
    default:
        break;
    }
    emit changed();
}

} // namespace station
