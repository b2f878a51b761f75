// The view's pure pieces: connect and area records, panel texts, the log's
// append rules and the progress bar's width.
#include <QScrollBar>
#include <QtTest>

#include "shell/dialog_units.h"
#include "view/device_requests.h"
#include "view/log_box.h"
#include "view/panel_text.h"
#include "view/progress_bar.h"

class ViewLogicTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void leadingNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << "8.00" << 8.0;
        QTest::newRow("letters") << "abc" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("unit after") << "16MHz" << 16.0;
        QTest::newRow("blanks first") << "  4.5" << 4.5;
        QTest::newRow("leading point") << ".5" << 0.5;
        QTest::newRow("exponent") << "1e1" << 10.0;
        QTest::newRow("negative") << "-2" << -2.0;
        QTest::newRow("comma is not a point") << "8,5" << 8.0;
        QTest::newRow("no words") << "inf" << 0.0;
        QTest::newRow("no nan") << "nan" << 0.0;
        QTest::newRow("overflow") << "1e999" << 0.0;
    }
    void leadingNumber() {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(LeadingNumber(text), value);
    }

    void leadingNumberIgnoresTheLocale() {
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::German));
        std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // harmless when the locale is not installed
        QCOMPARE(LeadingNumber("8.25"), 8.25);
        std::setlocale(LC_NUMERIC, "C");
        QLocale::setDefault(saved);
    }

    void resetRecord_data() {
        QTest::addColumn<int>("options");
        QTest::addColumn<int>("appWord");
        QTest::addColumn<int>("secFlags");  // bit 0 program, 1 block erase, 2 chip erase
        QTest::addColumn<int>("wantOptions");
        QTest::addColumn<int>("wantSecurity");
        QTest::newRow("security option dropped without appWord") << 15 << 0 << 0 << 11 << 0;
        QTest::newRow("security option kept with appWord") << 15 << 1 << 0 << 15 << 0;
        QTest::newRow("all security flags") << 0 << 1 << 7 << 0 << 7;
        QTest::newRow("chip erase only") << 0 << 1 << 4 << 0 << 4;
        QTest::newRow("low byte only") << 0x104 << 1 << 1 << 4 << 1;
    }
    void resetRecord() {
        QFETCH(int, options);
        QFETCH(int, appWord);
        QFETCH(int, secFlags);
        QFETCH(int, wantOptions);
        QFETCH(int, wantSecurity);
        SetupSettings s;
        s.freq = "abc";
        s.multiply = "2.5";
        s.portIndex = 11;
        s.speedIndex = 0;
        s.commandOptions = options;
        s.secProgBlock = secFlags & 1;
        s.secEraseBlock = (secFlags >> 1) & 1;
        s.secChipErase = (secFlags >> 2) & 1;
        s.powerMessage = 1;
        const ResetRecord r = BuildResetRecord(s, appWord);
        QCOMPARE(r.frequency, 0.0);
        QCOMPARE(r.multiplier, 2.5);
        QCOMPARE(int(r.portNumber), 12);
        QCOMPARE(int(r.speedIndex), 0);
        QCOMPARE(int(r.commandOptions), wantOptions);
        QCOMPARE(int(r.securityFlags), wantSecurity);
        QCOMPARE(r.powerCycleMode, 1);
    }

    void portAndSpeedChoices_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("speed");
        QTest::addColumn<bool>("portOk");
        QTest::addColumn<bool>("speedOk");
        QTest::newRow("none chosen") << -1 << -1 << false << false;
        QTest::newRow("COM1") << 0 << 0 << true << true;
        QTest::newRow("COM255") << 254 << 2 << true << true;
        // COM301 would open COM45 once cut to a byte.
        QTest::newRow("beyond COM255") << 300 << 3 << false << false;
        QTest::newRow("huge") << INT_MAX << INT_MIN << false << false;
    }
    void portAndSpeedChoices() {
        QFETCH(int, port);
        QFETCH(int, speed);
        SetupSettings s;
        s.portIndex = port;
        s.speedIndex = speed;
        QTEST(PortChosen(s), "portOk");
        QTEST(SpeedChosen(s), "speedOk");
    }

    void areaRecord_data() {
        QTest::addColumn<int>("supValue");
        QTest::addColumn<int>("showStart");
        QTest::addColumn<int>("showEnd");
        QTest::addColumn<bool>("withPrm");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("last");
        QTest::newRow("chip, defaults from file") << 0 << -1 << -1 << true << 1 << 3 << 9;
        QTest::newRow("block, chosen") << 1 << 2 << 5 << true << 2 << 2 << 5;
        QTest::newRow("area") << 2 << -1 << 4 << true << 4 << 3 << 4;
        QTest::newRow("no choice keeps mode") << -1 << -1 << -1 << true << 99 << 3 << 9;
        QTest::newRow("no record: -1 is 0") << 1 << -1 << -1 << false << 2 << 0 << 0;
    }
    void areaRecord() {
        QFETCH(int, supValue);
        QFETCH(int, showStart);
        QFETCH(int, showEnd);
        QFETCH(bool, withPrm);
        DeviceParameters prm{};
        prm.typeSet11 = 3;
        prm.typeSet12 = 9;
        SetupSettings s;
        s.supValue = supValue;
        s.showStart = showStart;
        s.showEnd = showEnd;
        s.showAddr = 1;
        AreaRecord area{};
        area.mode = 99;
        area.reserved = 5;
        FillAreaRecord(area, s, withPrm ? &prm : nullptr);
        QTEST(area.mode, "mode");
        QTEST(area.first, "first");
        QTEST(area.last, "last");
        QCOMPARE(area.showAddress, 1);
        QCOMPARE(area.reserved, 0);
    }

    void deviceGroup() {
        ProgressRecord r{};
        DeviceTexts t = DeviceGroupTexts(r);  // the connect's final record as written
        QCOMPARE(t.name, QString());
        QCOMPARE(t.firmVersion, QString("0.00"));
        QCOMPARE(t.extCode, QString("0000h"));
        QCOMPARE(t.vendor, QString("00h"));
        std::memcpy(r.deviceName, "QM17F064ABCDEFGHIJKL", 20);  // no terminator
        r.versionA[0] = 0x0123;
        r.versionB[0] = 0x1A05;
        r.idBytes[0] = 0x10;
        r.idBytes[1] = 0x7F;
        r.idBytes[2] = 0x04;
        t = DeviceGroupTexts(r);
        QCOMPARE(t.name, QString("QM17F064ABCDEFGHIJKL"));
        QCOMPARE(t.cpuVersion, QString("1.23"));
        QCOMPARE(t.firmVersion, QString("1a.05"));
        QCOMPARE(t.extCode, QString("7F04h"));
        QCOMPARE(t.vendor, QString("10h"));
    }

    void parameterAndLoadFileGroups() {
        DeviceParameters prm{};
        std::strcpy(prm.deviceName, "QM17F064");
        std::strcpy(prm.deviceSubName, "DEMO-A");
        std::memcpy(prm.fileVersion, "V1.001", 6);  // fills the field
        prm.deviceCode = 0x316;
        const ParameterTexts p = ParameterGroupTexts(prm);
        QCOMPARE(p.name, QString("QM17F064"));
        QCOMPARE(p.format, QString("0316"));
        QCOMPARE(p.version, QString("DEMO-A"));
        QCOMPARE(p.processorVersion, QString("V1.001"));

        auto *h = new LoadFileHandle{};
        std::strcpy(h->loadFilePath, "/data/dir.x/prog.hex");
        h->imageChecksum = 0xAB;
        h->lowestAddress = 0;
        h->highestAddress = 0x3FFF;
        LoadProgressRecord r{};
        r.fileYear = 2007;
        r.fileMonth = 3;
        r.fileDay = 5;
        r.fileHour = 9;
        r.fileMinute = 4;
        r.fileSecond = 3;
        const LoadFileTexts l = LoadFileGroupTexts(*h, r);
        delete h;
        QCOMPARE(l.name, QString("PROG.HEX"));
        QCOMPARE(l.date, QString("2007/03/05 09:04:03"));
        QCOMPARE(l.checksum, QString("00ABh"));
        QCOMPARE(l.area, QString("000000h-003FFFh"));
    }

    void portText_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::newRow("first") << 0 << "COM1";
        QTest::newRow("twelfth") << 11 << "COM12";
        QTest::newRow("none chosen") << -1 << "";
        QTest::newRow("beyond COM255") << 255 << "";
    }
    void portText() {
        QFETCH(int, index);
        QTEST(PortText(index), "text");
    }

    void rangeText_data() {
        QTest::addColumn<int>("supValue");
        QTest::addColumn<int>("showAddr");
        QTest::addColumn<int>("showStart");
        QTest::addColumn<int>("showEnd");
        QTest::addColumn<QString>("text");  // "(keep)": the field keeps its text
        QTest::newRow("chip") << 0 << 0 << 0 << 0 << "Chip";
        QTest::newRow("blocks by number") << 1 << 0 << 0 << 7 << "Block 000-007";
        QTest::newRow("blocks by address") << 1 << 1 << 0 << 7 << "Block 000000h-007FFFh";
        QTest::newRow("file defaults") << 1 << 0 << -1 << -1 << "Block 002-005";
        QTest::newRow("area keeps") << 2 << 0 << 0 << 7 << "(keep)";
        QTest::newRow("none keeps") << -1 << 0 << 0 << 7 << "(keep)";
        QTest::newRow("address outside the table keeps") << 1 << 1 << 0 << 200 << "(keep)";
    }
    void rangeText() {
        QFETCH(int, supValue);
        QFETCH(int, showAddr);
        QFETCH(int, showStart);
        QFETCH(int, showEnd);
        QFETCH(QString, text);
        RangeEntry blocks[8];
        for (int i = 0; i < 8; ++i) blocks[i] = RangeEntry{uint16_t(i), {}, uint32_t(i * 0x1000), uint32_t(i * 0x1000 + 0xFFF)};
        DeviceParameters prm{};
        prm.blockCount = 8;
        prm.blockTable = blocks;
        prm.typeSet11 = 2;
        prm.typeSet12 = 5;
        SetupSettings s;
        s.supValue = supValue;
        s.showAddr = showAddr;
        s.showStart = showStart;
        s.showEnd = showEnd;
        const QString got = RangeText(s, prm);
        QCOMPARE(got.isNull() ? QString("(keep)") : got, text);
    }

    void logAppendRules() {
        LogBox box;
        box.appendLine("first");
        QCOMPARE(box.logText(), QString("first"));
        box.appendLine("");
        box.appendLine("third");
        QCOMPARE(box.logText(), QString("first\r\n\r\nthird"));
        QCOMPARE(box.toPlainText(), QString("first\n\nthird"));
        // Clearing leaves the box until the next line replaces its content.
        box.clearLog();
        QCOMPARE(box.logText(), QString());
        QCOMPARE(box.toPlainText(), QString("first\n\nthird"));
        box.appendLine(">>COMMAND: Reset");
        QCOMPARE(box.toPlainText(), QString(">>COMMAND: Reset"));
        QCOMPARE(box.logText(), QString(">>COMMAND: Reset"));
    }

    void logKeepsTheLastLineInView() {
        LogBox box;
        box.resize(200, 100);
        box.show();
        for (int i = 0; i < 200; ++i) box.appendLine(QString("line %1").arg(i));
        QVERIFY(box.verticalScrollBar()->maximum() > 0);
        QCOMPARE(box.verticalScrollBar()->value(), box.verticalScrollBar()->maximum());
    }

    void barWidth_data() {
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("lower");
        QTest::addColumn<int>("upper");
        QTest::addColumn<int>("client");
        QTest::addColumn<int>("width");
        QTest::newRow("half") << 50 << 0 << 100 << 200 << 100;
        QTest::newRow("truncated") << 33 << 0 << 100 << 100 << 33;
        QTest::newRow("truncated, not rounded") << 2 << 0 << 3 << 100 << 66;
        QTest::newRow("full") << 100 << 0 << 100 << 117 << 117;
        QTest::newRow("empty") << 0 << 0 << 100 << 117 << 0;
        QTest::newRow("start-up bounds") << 5 << 0 << 10 << 80 << 40;
        QTest::newRow("equal bounds") << 5 << 5 << 5 << 80 << 0;
        QTest::newRow("beyond upper stays inside") << 150 << 0 << 100 << 80 << 80;
    }
    void barWidth() {
        QFETCH(int, position);
        QFETCH(int, lower);
        QFETCH(int, upper);
        QFETCH(int, client);
        QTEST(ProgressBar::barWidth(position, lower, upper, client), "width");
    }

    void barPaintsTheFilledPart() {
        ProgressBar bar;
        bar.resize(102, 12);
        bar.setRange(0, 100);
        QCOMPARE(bar.setPosition(50), 0);
        const QImage image = bar.grab().toImage();
        const QRect client = bar.contentsRect();
        const QColor highlight = bar.palette().color(QPalette::Highlight);
        const QColor face = bar.palette().color(QPalette::Button);
        const int y = client.center().y();
        QCOMPARE(image.pixelColor(client.left() + 2, y), highlight);
        QCOMPARE(image.pixelColor(client.left() + client.width() / 2 - 1, y), highlight);
        QCOMPARE(image.pixelColor(client.left() + client.width() / 2 + 1, y), face);
        QCOMPARE(bar.setPosition(0), 50);
    }

    void dialogUnits() {
        const DialogUnits u(6, 13);  // a classic 8-point dialog font
        QCOMPARE(u.size(367, 208), QSize(551, 338));
        QCOMPARE(u.rect(248, 196, 118, 10), QRect(372, 319, 177, 16));
    }
};

QTEST_MAIN(ViewLogicTest)
#include "view_logic_test.moc"
