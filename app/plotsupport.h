#ifndef PLOTSUPPORT_H
#define PLOTSUPPORT_H

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>
#include <qcustomplot.h>

class QWidget;

// What the window's plots (the calibration plot and the trend) share: a logarithmic axis
// whose lower end is labelled, a legend beside the data instead of over it, and plot files
// written at a chosen size under a title line.
namespace PlotSupport {

// Ticks by decade, and a labelled tick at the lower end of the range when the lowest decade
// tick is more than a factor 2 above it (or none is in range): a range of 37 to 900 would
// otherwise read "100" as its lowest number.
class EndLabelledLogTicker : public QCPAxisTickerLog
{
public:
    void generate(const QCPRange &range, const QLocale &locale, QChar formatChar, int precision,
                  QVector<double> &ticks, QVector<double> *subTicks,
                  QVector<QString> *tickLabels) override;
};

// Takes the legend out of the axis rectangle, where it hides data, into a row of its own
// above it, its entries side by side.
void placeLegendAbove(QCustomPlot *plot);

// The plot as PNG, JPG or PDF (by the extension of `path`), `size` pixels (the size shown
// when invalid), with `title` as a line above it when not empty. Written whole to a new file
// beside `path` and only then put in its place, so a failed save keeps an earlier file.
// False with the reason in *reason.
bool savePlot(QCustomPlot *plot, const QString &path, const QSize &size, const QString &title,
              QString *reason);
// `bytes` as the file `path`, in the same way.
bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *reason);

// A save dialog in `dir`, offering `name`; a name typed without an extension gets the chosen
// filter's suffix. With `size`, it also asks for the picture's width and height in pixels
// (boxes "sbPlotWidth" and "sbPlotHeight"), starting from *size. Empty when cancelled.
QString askSavePath(QWidget *parent, const QString &caption, const QString &dir,
                    const QString &name, const QStringList &filters, const QStringList &suffixes,
                    QSize *size = nullptr);

} // namespace PlotSupport

#endif // PLOTSUPPORT_H
