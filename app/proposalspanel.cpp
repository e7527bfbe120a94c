#include "proposalspanel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

ProposalsPanel::ProposalsPanel(QWidget *parent)
    : QWidget(parent)
    , m_fitLabel(new QLabel(this))
    , m_applyButton(new QPushButton(tr("Apply levels"), this))
{
    // The plot above takes the tab's spare height.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    // The boxes in a row, what the fit found on a line under them.
    auto *rows = new QVBoxLayout(this);
    rows->setObjectName(QStringLiteral("proposalRows"));
    // It lines up with the rest of the tab as if its widgets stood in the tab's own layout.
    rows->setContentsMargins(0, 0, 0, 0);
    auto *layout = new QHBoxLayout;
    layout->setObjectName(QStringLiteral("proposalLayout"));
    rows->addLayout(layout);
    auto *label = new QLabel(tr("Proposed levels:"), this);
    label->setObjectName(QStringLiteral("lProposedLevels"));
    layout->addWidget(label);
    for (int i = 0; i < 4; ++i) {
        auto *box = new QSpinBox(this);
        box->setObjectName(QStringLiteral("sbProposedLevel%1").arg(i + 1));
        box->setRange(NoLevel, 65535);
        box->setSpecialValueText(tr("none"));
        box->setValue(NoLevel);
        box->setPrefix(QStringLiteral("%1: ").arg(i + 1));
        box->setToolTip(proposalTip(i));
        connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this,
                &ProposalsPanel::levelsChanged);
        layout->addWidget(box);
        m_boxes[i] = box;
    }
    m_applyButton->setObjectName(QStringLiteral("pbApplyLevels"));
    m_applyButton->setEnabled(false);
    connect(m_applyButton, &QPushButton::clicked, this, &ProposalsPanel::applyRequested);
    layout->addWidget(m_applyButton);
    m_fitLabel->setObjectName(QStringLiteral("lFit"));
    // A long reason is cut rather than widen the window; the tool tip has the whole report.
    m_fitLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    // Empty before a fit, it keeps the height of its line, so that the plot above is not
    // resized, and drawn again, at the start and the end of every scan.
    m_fitLabel->setText(QStringLiteral("0"));
    m_fitLabel->setMinimumHeight(m_fitLabel->sizeHint().height());
    m_fitLabel->clear();
    rows->addWidget(m_fitLabel);
}

void ProposalsPanel::propose(const ScanData &data, int phasesMeasured)
{
    m_fit = data.fit(phasesMeasured);
    m_proposals = m_fit.proposals();
    showFit();
    for (int i = 0; i < 4; ++i) {
        const LevelProposal &proposal = m_proposals[i];
        m_boxes[i]->setValue(proposal.isValid() ? proposal.level() : NoLevel);
        m_boxes[i]->setToolTip(proposal.isValid() ? tr("Proposed by the scan")
                                                  : tr("No proposal: %1").arg(proposal.reason()));
    }
    m_applyButton->setEnabled(!data.points.isEmpty());
    emit levelsChanged();
}

void ProposalsPanel::clear()
{
    for (int i = 0; i < 4; ++i) {
        m_boxes[i]->setValue(NoLevel);
        m_boxes[i]->setToolTip(proposalTip(i));
    }
    m_proposals.clear();
    m_fit = DetectorFit();
    m_fitLabel->clear();
    m_fitLabel->setToolTip(QString());
    m_applyButton->setEnabled(false);
}

ScanData::Header ProposalsPanel::results() const
{
    return ScanData::results(m_proposals.isEmpty() ? QVector<LevelProposal>(4) : m_proposals,
                             m_fit);
}

void ProposalsPanel::showFit()
{
    QString text = tr("Fit of the detector's model: ");
    if (!m_fit.isFitted()) {
        text += tr("none (%1)").arg(m_fit.reason());
    } else {
        text += tr("pulse height %1, mean photon number %2")
                    .arg(m_fit.pulseHeight(), 0, 'f', 0)
                    .arg(m_fit.meanPhotons(), 0, 'f', 3);
        if (!m_fit.reason().isEmpty())
            text += QStringLiteral(" (%1)").arg(m_fit.reason());
    }
    m_fitLabel->setText(text);
    m_fitLabel->setToolTip(m_fit.reportLines().join(QLatin1Char('\n')));
}

int ProposalsPanel::level(int index) const
{
    return m_boxes[index]->value();
}

QVector<int> ProposalsPanel::levels() const
{
    QVector<int> levels;
    for (const QSpinBox *box : m_boxes)
        levels.append(box->value());
    return levels;
}

void ProposalsPanel::setApplyEnabled(bool enabled)
{
    m_applyButton->setEnabled(enabled);
}

QString ProposalsPanel::proposalTip(int index)
{
    return tr("The level Apply levels writes for phase %1").arg(index + 1);
}
