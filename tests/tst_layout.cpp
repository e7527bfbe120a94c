#include "mainwindow.h"

#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QtTest>
#include <qcustomplot.h>

// The main window as built from its layout file, before any device is known.
class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_window = new MainWindow; }
    void cleanup() { delete m_window; }

    void windowFrame();
    void everyFieldExists_data();
    void everyFieldExists();
    void captions_data();
    void captions();
    void numberBoxes_data();
    void numberBoxes();
    void gridPlaces_data();
    void gridPlaces();
    void onlyStopButtonsStartDisabled();
    void statusLineSizes();
    void oppositeAxesFollow();

private:
    template<typename T> T *child(const char *name)
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }

    MainWindow *m_window = nullptr;
};

void TestLayout::windowFrame()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(m_window->size(), QSize(800, 600));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Kuvel Counter"));
    QVERIFY(!m_window->isVisible());
    QVERIFY(!m_window->findChild<QMenuBar *>());
    QVERIFY(!m_window->findChild<QStatusBar *>());
    QVERIFY(!m_window->findChild<QToolBar *>());

    auto *tabs = child<QTabWidget>("tabWidget");
    QVERIFY(tabs);
    QCOMPARE(tabs->tabPosition(), QTabWidget::West);
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Counts"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Calibration"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("Trend"));
    QCOMPARE(tabs->widget(0)->objectName(), QStringLiteral("tab"));
    QCOMPARE(tabs->widget(1)->objectName(), QStringLiteral("tab_2"));
    QCOMPARE(tabs->widget(2)->objectName(), QStringLiteral("tabTrend"));
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(m_window->centralWidget()->objectName(), QStringLiteral("centralwidget"));
}

void TestLayout::everyFieldExists_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");

    const char *const fields[][2] = {
        {"centralwidget", "QWidget"},
        {"verticalLayout", "QVBoxLayout"},
        {"tabWidget", "QTabWidget"},
        {"tab", "QWidget"},
        {"verticalLayout_3", "QVBoxLayout"},
        {"gbSettings", "QGroupBox"},
        {"verticalLayout_2", "QVBoxLayout"},
        {"gridLayout", "QGridLayout"},
        {"pbGetTimeConst", "QPushButton"},
        {"label_4", "QLabel"},
        {"label_3", "QLabel"},
        {"pbSetChannel", "QPushButton"},
        {"label_2", "QLabel"},
        {"label_5", "QLabel"},
        {"label", "QLabel"},
        {"pbSetTimeConst", "QPushButton"},
        {"pbGetChannel", "QPushButton"},
        {"dsbTimeConst", "QDoubleSpinBox"},
        {"sbChannel", "QSpinBox"},
        {"label_6", "QLabel"},
        {"sbRefLevel1", "QSpinBox"},
        {"sbRefLevel2", "QSpinBox"},
        {"sbRefLevel3", "QSpinBox"},
        {"sbRefLevel4", "QSpinBox"},
        {"pbSetRefLevel1", "QPushButton"},
        {"pbSetRefLevel2", "QPushButton"},
        {"pbSetRefLevel3", "QPushButton"},
        {"pbSetRefLevel4", "QPushButton"},
        {"groupBox_2", "QGroupBox"},
        {"verticalLayout_4", "QVBoxLayout"},
        {"horizontalLayout", "QHBoxLayout"},
        {"pbStart", "QPushButton"},
        {"pbStop", "QPushButton"},
        {"gridLayout_2", "QGridLayout"},
        {"lCounts1", "QLabel"},
        {"lCounts2", "QLabel"},
        {"lCounts3", "QLabel"},
        {"lCounts4", "QLabel"},
        {"horizontalLayout_3", "QHBoxLayout"},
        {"pbWriteEEPROM", "QPushButton"},
        {"tab_2", "QWidget"},
        {"verticalLayout_5", "QVBoxLayout"},
        {"gridLayout_3", "QGridLayout"},
        {"label_7", "QLabel"},
        {"sbChannelCalibr", "QSpinBox"},
        {"label_8", "QLabel"},
        {"sbStartCalibr", "QSpinBox"},
        {"label_9", "QLabel"},
        {"sbStopCalibr", "QSpinBox"},
        {"label_10", "QLabel"},
        {"sbStep", "QSpinBox"},
        {"horizontalLayout_2", "QHBoxLayout"},
        {"pbStartCalibration", "QPushButton"},
        {"pbStopCalibration", "QPushButton"},
        {"customPlot", "QCustomPlot"},
        {"lStatus", "QLabel"},
    };
    for (const auto &field : fields)
        QTest::newRow(field[0]) << QString::fromLatin1(field[0]) << QString::fromLatin1(field[1]);
}

void TestLayout::everyFieldExists()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QObject *object = m_window->findChild<QObject *>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), kind);
}

void TestLayout::captions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    const char *const captions[][2] = {
        {"gbSettings", "Settings"},
        {"label", "Channel"},
        {"label_2", "Time Const (s)"},
        {"label_3", "Ref. Level (1-photon) (0-65535)"},
        {"label_4", "Ref. Level (2-photon) (0-65535)"},
        {"label_5", "Ref. Level (3-photon) (0-65535)"},
        {"label_6", "Ref. Level (4-photon) (0-65535)"},
        {"pbGetChannel", "Get active channel"},
        {"pbSetChannel", "Set active channel"},
        {"pbGetTimeConst", "Get current TimeConst"},
        {"pbSetTimeConst", "Set TimeConst"},
        {"pbSetRefLevel1", "Set Ref. Level 1"},
        {"pbSetRefLevel2", "Set Ref. Level 2"},
        {"pbSetRefLevel3", "Set Ref. Level 3"},
        {"pbSetRefLevel4", "Set Ref. Level 4"},
        {"groupBox_2", "Counts"},
        {"pbStart", "Start"},
        {"pbStop", "Stop"},
        {"lCounts1", "1: "},
        {"lCounts2", "2:"},
        {"lCounts3", "3:"},
        {"lCounts4", "4:"},
        {"pbWriteEEPROM", "Write Current settings to EEPROM"},
        {"label_7", "Channel"},
        {"label_8", "Start (0-65535)"},
        {"label_9", "Stop (0-65535)"},
        {"label_10", "Step(0-65535)"},
        {"pbStartCalibration", "Start"},
        {"pbStopCalibration", "Stop"},
        {"lStatus", "Status: "},
    };
    for (const auto &caption : captions)
        QTest::newRow(caption[0]) << QString::fromLatin1(caption[0])
                                  << QString::fromLatin1(caption[1]);
}

void TestLayout::captions()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QWidget *widget = m_window->findChild<QWidget *>(name);
    QVERIFY(widget);
    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
    else if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), text);
    else if (auto *group = qobject_cast<QGroupBox *>(widget))
        QCOMPARE(group->title(), text);
    else
        QFAIL("no caption on this kind of widget");
}

void TestLayout::numberBoxes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("initial");

    QTest::newRow("sbChannel") << "sbChannel" << 1.0 << 8.0 << 1.0;
    QTest::newRow("dsbTimeConst") << "dsbTimeConst" << 0.01 << 10.0 << 1.0;
    for (const char *name : {"sbRefLevel1", "sbRefLevel2", "sbRefLevel3", "sbRefLevel4"})
        QTest::newRow(name) << name << 0.0 << 65535.0 << 0.0;
    QTest::newRow("sbChannelCalibr") << "sbChannelCalibr" << 1.0 << 8.0 << 1.0;
    QTest::newRow("sbStartCalibr") << "sbStartCalibr" << 0.0 << 65535.0 << 0.0;
    QTest::newRow("sbStopCalibr") << "sbStopCalibr" << 0.0 << 65535.0 << 65535.0;
    QTest::newRow("sbStep") << "sbStep" << 0.0 << 65535.0 << 5000.0;
}

void TestLayout::numberBoxes()
{
    QFETCH(QString, name);
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(double, initial);

    if (auto *box = m_window->findChild<QDoubleSpinBox *>(name)) {
        QCOMPARE(box->minimum(), minimum);
        QCOMPARE(box->maximum(), maximum);
        QCOMPARE(box->value(), initial);
        QCOMPARE(box->decimals(), 2);
        QCOMPARE(box->singleStep(), 1.0);
        // Out-of-range values are refused by clamping to the range.
        box->setValue(minimum / 2);
        QCOMPARE(box->value(), minimum);
        box->setValue(maximum + 1);
        QCOMPARE(box->value(), maximum);
        return;
    }
    auto *box = m_window->findChild<QSpinBox *>(name);
    QVERIFY(box);
    QCOMPARE(double(box->minimum()), minimum);
    QCOMPARE(double(box->maximum()), maximum);
    QCOMPARE(double(box->value()), initial);
    QCOMPARE(box->singleStep(), 1);
    box->setValue(int(minimum) - 1);
    QCOMPARE(double(box->value()), minimum);
    box->setValue(int(maximum) + 1);
    QCOMPARE(double(box->value()), maximum);
}

void TestLayout::gridPlaces_data()
{
    QTest::addColumn<QString>("grid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");

    const QStringList labels = {"label", "label_2", "label_3", "label_4", "label_5", "label_6"};
    const QStringList boxes
        = {"sbChannel", "dsbTimeConst", "sbRefLevel1", "sbRefLevel2", "sbRefLevel3", "sbRefLevel4"};
    const QStringList setters = {"pbSetChannel",   "pbSetTimeConst", "pbSetRefLevel1",
                                 "pbSetRefLevel2", "pbSetRefLevel3", "pbSetRefLevel4"};
    for (int row = 0; row < 6; ++row) {
        for (const auto &[name, column] :
             {std::make_pair(labels.at(row), 0), std::make_pair(boxes.at(row), 1),
              std::make_pair(setters.at(row), 3)})
            QTest::addRow("%s", qPrintable(name)) << "gridLayout" << name << row << column;
    }
    QTest::newRow("pbGetChannel") << "gridLayout"
                                  << "pbGetChannel" << 0 << 2;
    QTest::newRow("pbGetTimeConst") << "gridLayout"
                                    << "pbGetTimeConst" << 1 << 2;

    QTest::newRow("lCounts1") << "gridLayout_2"
                              << "lCounts1" << 0 << 0;
    QTest::newRow("lCounts2") << "gridLayout_2"
                              << "lCounts2" << 0 << 1;
    QTest::newRow("lCounts3") << "gridLayout_2"
                              << "lCounts3" << 1 << 0;
    QTest::newRow("lCounts4") << "gridLayout_2"
                              << "lCounts4" << 1 << 1;

    const QStringList calibration = {"label_7", "sbChannelCalibr", "label_8",  "sbStartCalibr",
                                     "label_9", "sbStopCalibr",    "label_10", "sbStep"};
    for (int column = 0; column < calibration.size(); ++column)
        QTest::addRow("%s", qPrintable(calibration.at(column)))
            << "gridLayout_3" << calibration.at(column) << 0 << column;
}

void TestLayout::gridPlaces()
{
    QFETCH(QString, grid);
    QFETCH(QString, name);
    QFETCH(int, row);
    QFETCH(int, column);

    auto *layout = m_window->findChild<QGridLayout *>(grid);
    QVERIFY(layout);
    const int index = layout->indexOf(m_window->findChild<QWidget *>(name));
    QVERIFY(index >= 0);
    int r, c, rowSpan, columnSpan;
    layout->getItemPosition(index, &r, &c, &rowSpan, &columnSpan);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rowSpan, 1);
    QCOMPARE(columnSpan, 1);
}

void TestLayout::onlyStopButtonsStartDisabled()
{
    // Levels can be applied only once a scan proposed them; a recording belongs to a run of
    // counting.
    const QStringList disabled = {"pbStop", "pbStopCalibration", "pbApplyLevels", "pbRecord"};
    const auto widgets = m_window->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        if (widget->objectName().isEmpty() || widget->objectName().startsWith("qt_"))
            continue;
        QVERIFY2(widget->isEnabled() != disabled.contains(widget->objectName()),
                 qPrintable(widget->objectName()));
    }
    auto *tabs = child<QTabWidget>("tabWidget");
    QVERIFY(tabs->isTabEnabled(0));
    QVERIFY(tabs->isTabEnabled(1));
}

void TestLayout::statusLineSizes()
{
    auto *status = child<QLabel>("lStatus");
    QCOMPARE(status->minimumSize(), QSize(0, 30));
    QCOMPARE(status->maximumSize(), QSize(16777215, 20));
    // The plot takes the Calibration tab's spare height; the proposals keep their own.
    child<QTabWidget>("tabWidget")->setCurrentIndex(1);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    auto *panel = child<QWidget>("proposalPanel");
    QCOMPARE(panel->height(), panel->sizeHint().height());
}

void TestLayout::oppositeAxesFollow()
{
    auto *plot = child<QCustomPlot>("customPlot");
    QVERIFY(plot);
    plot->xAxis->setRange(12.5, 99.0);
    QCOMPARE(plot->xAxis2->range().lower, 12.5);
    QCOMPARE(plot->xAxis2->range().upper, 99.0);
    plot->yAxis->setRange(-3.0, 4000.0);
    QCOMPARE(plot->yAxis2->range().lower, -3.0);
    QCOMPARE(plot->yAxis2->range().upper, 4000.0);
    // The coupling runs one way only: the top and right axes follow.
    plot->xAxis2->setRange(0.0, 1.0);
    QCOMPARE(plot->xAxis->range().upper, 99.0);
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
