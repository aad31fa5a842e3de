#pragma once

// The station's bench without its window: one lane per serial port that holds a device, in
// port order, the firmware file they are gated against, how many burn at once, and the counts
// since start. The window shows it and hands it the user's choices and the hot-plug events.

#include "burnrun.h"
#include "lane.h"
#include "stagelimits.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

class PortList;

namespace station
{

class Station : public QObject
{
    Q_OBJECT

public:
    struct Counts {
        int succeeded = 0;
        int failed = 0;
        int skipped = 0;
    };

    // The record goes into configDir, shared with the other programs started there.
    Station(const QString &configDir, const firmware::Limits &limits, QObject *parent = nullptr);
    // Every lane goes first: a run still active is recorded as interrupted.
    ~Station() override;

    const QList<Lane *> &lanes() const { return m_lanes; }
    Counts counts() const { return m_counts; }
    QString firmwarePath() const { return m_filePath; }
    int firmwareVersion() const { return m_fileVersion; }

    // The file every lane is gated against, its version read from its name.
    void setFirmware(const QString &path);
    // Lanes that become ready from now on start by themselves.
    void setAutoStart(bool on) { m_autoStart = on; }
    // Every ready lane, in port order: as many burn at once as the limit allows, the others
    // queue and start as places come free.
    void startAll();
    // Stops every run; each is recorded as interrupted.
    void stopAll();

    bool hasReady() const;
    // A lane is queued or its run active: the file must stay the one they burn.
    bool isBurning() const;
    // The runs there are; those whose tool writes the device make closing ask.
    QList<const burn::BurnRun *> runs() const;
    int writingCount() const;

    // Lists the ports again; new ports get a lane, lanes whose port has gone go. A lane goes
    // only by a list asked for after it ended its work: one pulled mid-burn shows its failure
    // until the next change of the bench.
    void refreshPorts();
    // The hot-plug sources' handlers. A port that arrives where a lane has finished (a verdict,
    // the gate) after it was heard gone, or where no device was found, starts a new lane there:
    // the unit was plugged in again.
    void portArrived(const QString &portName);
    void portRemoved(const QString &portName);

signals:
    void laneAdded(int index, station::Lane *lane);
    void laneRemoved(int index);
    // The counts, or what may be started or chosen, may have changed.
    void changed();

private:
    void setPorts(const QStringList &ports);
    void addLane(const QString &port);
    void removeLane(int index);
    void laneChanged(Lane *lane, Lane::State state);
    void admit();
    int indexOf(const QString &port) const;

    burn::RecordFolder m_record;
    const firmware::Limits m_limits;
    PortList *m_ports = nullptr;
    QList<Lane *> m_lanes;
    QList<QPointer<Lane>> m_queue;
    QPointer<Lane> m_starting; // the last lane started, until its tool runs
    int m_listsAsked = 0;
    int m_listsSeen = 0;
    QSet<const Lane *> m_skipped;         // counted once each, however often the file changes
    QSet<const Lane *> m_unplugged;       // heard gone while they had nothing under way
    QHash<const Lane *, int> m_idleSince; // the lists asked for when each lane last went idle
    QString m_filePath;
    int m_fileVersion = -1;
    bool m_autoStart = false;
    Counts m_counts;
};

} // namespace station
