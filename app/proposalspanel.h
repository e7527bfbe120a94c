#ifndef PROPOSALSPANEL_H
#define PROPOSALSPANEL_H

#include "detectorfit.h"
#include "levelproposal.h"
#include "scandata.h"

#include <QVector>
#include <QWidget>

class QLabel;
class QPushButton;
class QSpinBox;

// The levels the last scan proposes, one box per phase that the operator may correct, what the
// detector's model fitted to the scan found (pulse height and mean photon number), and
// "Apply levels", which asks for them to be written. It knows nothing of the device.
class ProposalsPanel : public QWidget
{
    Q_OBJECT
public:
    // A box with no proposal shows its minimum as "none".
    static constexpr int NoLevel = -1;

    explicit ProposalsPanel(QWidget *parent = nullptr);

    // The proposals of the model fitted to the phases of `data` measured to their end
    // (ScanData::fit), shown in the boxes with the fit's figures beside them; Apply levels is
    // enabled once there are points.
    void propose(const ScanData &data, int phasesMeasured);
    // Empty boxes for a scan that begins.
    void clear();
    const QVector<LevelProposal> &proposals() const { return m_proposals; }
    // The fit the proposals come from; not fitted before the first proposal.
    const DetectorFit &fit() const { return m_fit; }
    // The proposed levels and the fit's report, as a saved scan's last header lines; four
    // "none (no scan)" where nothing was proposed yet.
    ScanData::Header results() const;
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

    void showFit();

    QVector<LevelProposal> m_proposals;
    DetectorFit m_fit;
    QSpinBox *m_boxes[4] = {};
    QLabel *m_fitLabel;
    QPushButton *m_applyButton;
};

#endif // PROPOSALSPANEL_H
