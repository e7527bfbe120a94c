#ifndef PROPOSALSPANEL_H
#define PROPOSALSPANEL_H

#include "levelproposal.h"
#include "scandata.h"

#include <QVector>
#include <QWidget>

class QPushButton;
class QSpinBox;

// The levels the last scan proposes, one box per phase that the operator may correct, and
// "Apply levels", which asks for them to be written. It knows nothing of the device.
class ProposalsPanel : public QWidget
{
    Q_OBJECT
public:
    // A box with no proposal shows its minimum as "none".
    static constexpr int NoLevel = -1;

    explicit ProposalsPanel(QWidget *parent = nullptr);

    // The proposals for the phases of `data` (phases not measured propose nothing), shown in
    // the boxes; Apply levels is enabled once there are points.
    void propose(const ScanData &data, int phasesMeasured);
    // Empty boxes for a scan that begins.
    void clear();
    const QVector<LevelProposal> &proposals() const { return m_proposals; }
    // The level of a box, 0 to 3, as the operator left it; NoLevel when it has none.
    int level(int index) const;
    QVector<int> levels() const;
    void setApplyEnabled(bool enabled);
    QPushButton *applyButton() const { return m_applyButton; }

signals:
    // A box changed: the markers follow it.
    void levelsChanged();
    void applyRequested();

private:
    static QString proposalTip(int index);

    QVector<LevelProposal> m_proposals;
    QSpinBox *m_boxes[4] = {};
    QPushButton *m_applyButton;
};

#endif // PROPOSALSPANEL_H
