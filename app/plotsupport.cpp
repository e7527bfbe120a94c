#include "plotsupport.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QLabel>
#include <QSaveFile>
#include <QSpinBox>
#include <QTemporaryFile>

#include <cmath>

namespace PlotSupport {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

// The smallest number of two significant digits not below `value`.
double ceilTwoDigits(double value)
{
    const double unit = std::pow(10.0, std::floor(std::log10(value)) - 1);
    return std::ceil(value / unit - 1e-9) * unit;
}

// The plot as a PNG or JPG file in memory, as the plot's own savePng/saveJpg would write it.
// Those write to the target's path directly and truncate an older file before they can fail.
QByteArray rasterPlot(QCustomPlot *plot, const QSize &size, const char *format, QString *reason)
{
    QImage image = plot->toPixmap(size.width(), size.height()).toImage();
    // The plot library stores 96 dots per inch.
    const int dotsPerMeter = int(96 / 0.0254);
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    QImageWriter writer(&buffer, format);
    if (image.isNull() || !writer.write(image)) {
        *reason = writer.errorString();
        return {};
    }
    return bytes;
}

// The plot as a PDF file in memory. Only the plot library knows how to draw itself into a
// PDF, and it writes to a path: a temporary one here, read back and checked for the trailer
// a complete PDF ends with, since the PDF writer does not report a failed write.
QByteArray pdfPlot(QCustomPlot *plot, const QSize &size, QString *reason)
{
    QTemporaryFile temporary(QDir::tempPath() + QStringLiteral("/kuvel-plot-XXXXXX.pdf"));
    if (!temporary.open()) {
        *reason = temporary.errorString();
        return {};
    }
    temporary.close();
    QByteArray bytes;
    QFile written(temporary.fileName());
    if (plot->savePdf(temporary.fileName(), size.width(), size.height())
        && written.open(QIODevice::ReadOnly))
        bytes = written.readAll();
    if (!bytes.trimmed().endsWith("%%EOF")) {
        *reason = tr("the PDF could not be written in %1")
                      .arg(QDir::toNativeSeparators(QDir::tempPath()));
        return {};
    }
    return bytes;
}

} // namespace

void EndLabelledLogTicker::generate(const QCPRange &range, const QLocale &locale, QChar formatChar,
                                    int precision, QVector<double> &ticks,
                                    QVector<double> *subTicks, QVector<QString> *tickLabels)
{
    QCPAxisTickerLog::generate(range, locale, formatChar, precision, ticks, subTicks, tickLabels);
    if (range.lower <= 0 || !tickLabels)
        return;
    int first = 0;
    while (first < ticks.size() && ticks[first] < range.lower)
        ++first;
    if (first < ticks.size() && ticks[first] <= range.upper && ticks[first] <= 2 * range.lower)
        return;
    const double end = ceilTwoDigits(range.lower);
    if (end > range.upper)
        return;
    ticks.insert(first, end);
    tickLabels->insert(first, getTickLabel(end, locale, formatChar, precision));
}

void placeLegendAbove(QCustomPlot *plot)
{
    QCPLegend *legend = plot->legend;
    legend->setVisible(true);
    if (plot->axisRect()->insetLayout()->take(legend))
        plot->axisRect()->insetLayout()->simplify();
    // Centred: the columns beside it take the width it does not need.
    auto *row = new QCPLayoutGrid;
    plot->plotLayout()->insertRow(0);
    plot->plotLayout()->addElement(0, 0, row);
    plot->plotLayout()->setRowStretchFactor(0, 0.001);
    row->addElement(0, 0, new QCPLayoutElement(plot));
    row->addElement(0, 1, legend);
    row->addElement(0, 2, new QCPLayoutElement(plot));
    row->setColumnStretchFactors({1, 0.001, 1});
    row->setMargins(QMargins(0, 4, 0, 0));
    legend->setFillOrder(QCPLayoutGrid::foColumnsFirst);
    legend->setBorderPen(Qt::NoPen);
}

bool savePlot(QCustomPlot *plot, const QString &path, const QSize &size, const QString &title,
              QString *reason)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    const bool png = suffix == QLatin1String("png");
    const bool jpg = suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg");
    const bool pdf = suffix == QLatin1String("pdf");
    if (!png && !jpg && !pdf) {
        *reason = tr("the file name must end in .png, .jpg or .pdf");
        return false;
    }
    const QSize pixels = size.isValid() && !size.isEmpty() ? size : plot->size();
    QCPTextElement *titleLine = nullptr;
    if (!title.isEmpty()) {
        QFont font = plot->font();
        font.setBold(true);
        titleLine = new QCPTextElement(plot, title, font);
        plot->plotLayout()->insertRow(0);
        plot->plotLayout()->addElement(0, 0, titleLine);
        plot->plotLayout()->setRowStretchFactor(0, 0.001);
    }
    // The file shows the newest points even while a throttled replot is still pending.
    plot->replot();
    const QByteArray bytes = pdf ? pdfPlot(plot, pixels, reason)
                                 : rasterPlot(plot, pixels, png ? "png" : "jpg", reason);
    if (titleLine) {
        plot->plotLayout()->remove(titleLine);
        plot->plotLayout()->simplify();
        plot->replot();
    }
    return !bytes.isEmpty() && writeWholeFile(path, bytes, reason);
}

bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *reason)
{
    // Each write goes straight to the file: a buffered one that fails only when QSaveFile
    // closes the file is not reported by it, and an empty file would replace the older one. A
    // write the disk takes in part names no error: the rest is written again, and that write
    // fails with the system's reason.
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    for (qint64 done = 0, n = 0; written && done < bytes.size(); done += n) {
        n = file.write(bytes.constData() + done, bytes.size() - done);
        written = n > 0;
    }
    if (written && file.flush() && file.commit())
        return true;
    *reason = file.errorString();
    file.cancelWriting();
    return false;
}

QString askSavePath(QWidget *parent, const QString &caption, const QString &dir,
                    const QString &name, const QStringList &filters, const QStringList &suffixes,
                    QSize *size)
{
    QFileDialog dialog(parent, caption, dir);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(filters);
    // A name typed without an extension gets the chosen format's before the dialog checks for
    // a file to replace; added afterwards, it could overwrite one without asking.
    dialog.setDefaultSuffix(suffixes.first());
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog, filters, suffixes](const QString &filter) {
                         dialog.setDefaultSuffix(
                             suffixes.value(filters.indexOf(filter), suffixes.first()));
                     });
    QSpinBox *width = nullptr;
    QSpinBox *height = nullptr;
    // The size boxes go below the dialog's own rows, which only Qt's own dialog lets add.
    QGridLayout *grid = nullptr;
    if (size) {
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        grid = qobject_cast<QGridLayout *>(dialog.layout());
    }
    if (grid) {
        auto *boxes = new QHBoxLayout;
        const auto sizeBox = [&dialog, boxes](const char *objectName, int value) {
            auto *box = new QSpinBox(&dialog);
            box->setObjectName(QLatin1String(objectName));
            box->setRange(100, 10000);
            box->setSuffix(tr(" px"));
            box->setValue(value);
            boxes->addWidget(box);
            return box;
        };
        width = sizeBox("sbPlotWidth", size->width());
        boxes->addWidget(new QLabel(QStringLiteral("\u00d7"), &dialog));
        height = sizeBox("sbPlotHeight", size->height());
        boxes->addStretch();
        const int row = grid->rowCount();
        grid->addWidget(new QLabel(tr("Picture size:"), &dialog), row, 0);
        grid->addLayout(boxes, row, 1, 1, grid->columnCount() - 1);
    }
    dialog.selectFile(name);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    if (width && height)
        *size = QSize(width->value(), height->value());
    return dialog.selectedFiles().first();
}

} // namespace PlotSupport
