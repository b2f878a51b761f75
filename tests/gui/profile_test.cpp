// Profile file and settings record: defaults, round trip, damaged files.
#include <climits>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "shell/app_paths.h"
#include "shell/profile.h"
#include "shell/settings.h"

namespace {

void WriteFile(const QString &path, const QByteArray &text) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class ProfileTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        QVERIFY(dir_.isValid());
        QFile::remove(path());
        QFile::remove(dir_.filePath("plain"));
    }

    void parseInt_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("negative") << "-1" << -1;
        QTest::newRow("blanks") << "  42 " << 42;
        QTest::newRow("plus") << "+7" << 7;
        QTest::newRow("garbage") << "abc" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("digits then text") << "12abc" << 12;
        QTest::newRow("huge") << "99999999999999999999" << INT_MAX;
        QTest::newRow("huge negative") << "-99999999999999999999" << INT_MIN;
        QTest::newRow("int min") << "-2147483648" << INT_MIN;
    }
    void parseInt() {
        QFETCH(QString, text);
        QFETCH(int, value);
        QCOMPARE(Profile::parseInt(text), value);
    }

    void noFileGivesDefaults() {
        SetupSettings s;
        LoadSettings(Profile(path()), s);
        QCOMPARE(s.portIndex, -1);
        QCOMPARE(s.speedIndex, -1);
        QCOMPARE(s.prmIndex, -1);
        QCOMPARE(s.powerMessage, 1);
        QCOMPARE(s.visiblePower, 1);
        QCOMPARE(s.enableAllCom, 0);
        QCOMPARE(s.commandOptions, 0);  // the four option bits decide, not Value's default 15
        QCOMPARE(s.autoMode, 0);
        QCOMPARE(s.securityEnabled, 1);
        QCOMPARE(s.supValue, -1);
        QCOMPARE(s.showStart, -1);
        QVERIFY(s.loadFileName.isEmpty());
    }

    void startRulesOverrideStoredValues() {
        WriteFile(path(), "[Command Options]\nValue=15\nBlk=0\nVeri=1\nSec=0\nSum=1\n[Option Mode]\nAuto=1\n");
        SetupSettings s;
        LoadSettings(Profile(path()), s);
        QCOMPARE(s.commandOptions, 10);
        QCOMPARE(s.autoMode, 0);
        Profile p(path());
        SaveSettings(p, s);
        QVERIFY(p.save());
        QCOMPARE(Profile(path()).readInt("Option Mode", "Auto", 99), 0);
    }

    void saveWritesExactLinesAndNeverTheReadOnlyKeys() {
        SetupSettings s;
        LoadSettings(Profile(path()), s);
        s.loadFileName = "/data/prog.hex";
        Profile p(path());
        SaveSettings(p, s);
        QVERIFY(p.save());
        const QString text = QString::fromUtf8(ReadFile(path()));
        QVERIFY(text.startsWith("[Quillrom2]\nInstall=1\n[Load File]\nName=/data/prog.hex\n"));
        QVERIFY(text.contains("[COMM Device]\nPort=-1\nSpeed=-1\n"));
        QVERIFY(text.contains("[Device Setup]\nPowerMessage=1\n"));
        QVERIFY(!text.contains("VisiblePower"));
        QVERIFY(!text.contains("EnableAllCom"));
    }

    // The sources of a merged image come back in order with their
    // addresses; a list with a source that cannot be read is not loaded in
    // part, which would program another image.
    void loadSourcesRoundTripAndDamagedLists() {
        SetupSettings out;
        out.loadFileName = "/fw/cal.bin";
        out.loadSources = {{"/fw/cal.bin", true, 0x7C00}, {"/fw/app.elf", false, 0}, {"/fw/boot.s19", false, 0}};
        out.binaryAddresses = {{"/fw/cal.bin", true, 0x7C00}, {"/old/x.bin", true, 0}};
        SetupSettings in;
        SaveAndRead(out, &in);
        QCOMPARE(in.loadFileName, out.loadFileName);
        QVERIFY(in.loadSources == out.loadSources);
        QVERIFY(in.binaryAddresses == out.binaryAddresses);

        const QByteArray head = "[Load File]\nName=/fw/a.hex\nSources=3\nSource2=/fw/b.elf\n";
        for (const QByteArray &tail : {QByteArray("Source3=/fw/c.bin\nAddress3=7C00\n"), QByteArray("Address3=0x10\n")}) {
            WriteFile(path(), head + tail);
            LoadSettings(Profile(path()), in);
            QVERIFY2(in.loadSources.isEmpty() && in.loadFileName.isEmpty(), tail.constData());
        }
    }

    void roundTrip() {
        SetupSettings out;
        out.loadFileName = "/home/u/My Files/a.hex";
        out.prmFileName = "/p/dev.prm";
        out.prmIndex = -1;
        out.portIndex = 11;
        out.speedIndex = 0;
        out.freq = "8.00";
        out.multiply = "1.00";
        out.supValue = 1;
        out.showAddr = 1;
        out.showStart = 2;
        out.showEnd = 7;
        out.selectProg = 1;
        out.selStart = "000000";
        out.selEnd = "007FFF";
        out.optBlk = 1;
        out.optSum = 1;
        out.commandOptions = out.optionBits();
        out.secEraseBlock = 1;
        out.powerMessage = 0;
        out.autoMode = 1;
        SetupSettings in;
        SaveAndRead(out, &in);
        QCOMPARE(in.loadFileName, out.loadFileName);
        QCOMPARE(in.prmFileName, out.prmFileName);
        QCOMPARE(in.prmIndex, -1);
        QCOMPARE(in.portIndex, 11);
        QCOMPARE(in.speedIndex, 0);
        QCOMPARE(in.freq, out.freq);
        QCOMPARE(in.multiply, out.multiply);
        QCOMPARE(in.supValue, 1);
        QCOMPARE(in.showAddr, 1);
        QCOMPARE(in.showStart, 2);
        QCOMPARE(in.showEnd, 7);
        QCOMPARE(in.selectProg, 1);
        QCOMPARE(in.selStart, out.selStart);
        QCOMPARE(in.selEnd, out.selEnd);
        QCOMPARE(in.commandOptions, 9);
        QCOMPARE(in.secEraseBlock, 1);
        QCOMPARE(in.powerMessage, 0);
        QCOMPARE(in.autoMode, 0);  // never restored
    }

    void keepsWhatItDoesNotOwn() {
        WriteFile(path(),
                  "; written by hand\r\n[comm device]\r\nport=3\r\nOther=x\r\n\r\n[Mine]\r\nKey = value with = sign\r\n");
        Profile p(path());
        QCOMPARE(p.readInt("COMM Device", "Port", -1), 3);
        QCOMPARE(p.readText("Mine", "key", ""), QString("value with = sign"));
        p.writeInt("COMM Device", "Port", -1);
        p.writeInt("COMM Device", "Speed", 0);
        QVERIFY(p.save());
        QCOMPARE(QString::fromUtf8(ReadFile(path())),
                 QString("; written by hand\n[comm device]\nport=-1\nOther=x\nSpeed=0\n\n[Mine]\nKey = value with = sign\n"));
    }

    void damagedValuesStayHarmless() {
        // A line break in a text must not turn into a key of its own.
        Profile p(path());
        p.writeText("Load File", "Name", "/tmp/a\n[COMM Device]\nPort=5");
        QVERIFY(p.save());
        Profile back(path());
        QVERIFY(!back.hasKey("COMM Device", "Port"));
        QCOMPARE(back.readText("Load File", "Name", ""), QString("/tmp/a [COMM Device] Port=5"));

        // Texts are read up to the limit.
        Profile big(path());
        big.writeText("Load File", "Name", QString(5000, 'x'));
        QVERIFY(big.save());
        QCOMPARE(Profile(path()).readText("Load File", "Name", "").size(), Profile::kMaxText);

        // Garbage and out-of-range integers load without complaint; the
        // option fields count as check boxes.
        WriteFile(path(), "[COMM Device]\nPort=abc\nSpeed=-77\n[Command Options]\nBlk=2147483647\nVeri=-5\nSec=0\nSum=9\n");
        SetupSettings s;
        LoadSettings(Profile(path()), s);
        QCOMPARE(s.portIndex, 0);
        QCOMPARE(s.speedIndex, -77);
        QCOMPARE(s.commandOptions, 1 + 2 + 8);
    }

    void saveReplacesTheFileWhole() {
        WriteFile(path(), "[Quillrom2]\nInstall=0\n");
        Profile p(path());
        p.writeInt("Quillrom2", "Install", 1);
        QVERIFY(p.save());
        QCOMPARE(ReadFile(path()), QByteArray("[Quillrom2]\nInstall=1\n"));
        // Only the profile is left in its folder: the temporary file was renamed.
        QCOMPARE(QDir(dir_.path()).entryList(QDir::Files), QStringList{"Quillrom2.INI"});

        // A folder that cannot exist (its parent is a file): save fails, no crash.
        WriteFile(dir_.filePath("plain"), "x");
        Profile nowhere(dir_.filePath("plain/sub/Quillrom2.INI"));
        nowhere.writeInt("Quillrom2", "Install", 1);
        QVERIFY(!nowhere.save());
    }

    void profileLocation() {
        qputenv("QUILLROM2_PROFILE", "/env/p.ini");
        QCOMPARE(ProfilePath("/cmd/p.ini"), QString("/cmd/p.ini"));
        QCOMPARE(ProfilePath({}), QString("/env/p.ini"));
        qunsetenv("QUILLROM2_PROFILE");
        qputenv("XDG_CONFIG_HOME", "/xdg");
        QCOMPARE(ProfilePath({}), QString("/xdg/quillrom2/Quillrom2.INI"));
        qputenv("XDG_CONFIG_HOME", "relative");
        QCOMPARE(ProfilePath({}), QDir::homePath() + "/.config/quillrom2/Quillrom2.INI");
        qunsetenv("XDG_CONFIG_HOME");
    }

    // Parameter files: the user's own data folder, then the system's (where
    // the package puts the demo files), then the build tree's PRM/.
    void parameterFolders() {
        qputenv("XDG_DATA_HOME", "/xdg/home");
        qputenv("XDG_DATA_DIRS", "/xdg/a:relative:/xdg/b/");
        QCOMPARE(ParameterFolders("/opt/q/bin/"), QStringList({"/xdg/home/quillrom2/prm", "/xdg/a/quillrom2/prm",
                                                                "/xdg/b/quillrom2/prm", "/opt/q/bin/PRM"}));
        qunsetenv("XDG_DATA_HOME");
        qunsetenv("XDG_DATA_DIRS");
        QCOMPARE(ParameterFolders(QString()),
                 QStringList({QDir::homePath() + "/.local/share/quillrom2/prm", "/usr/local/share/quillrom2/prm",
                              "/usr/share/quillrom2/prm"}));
    }

private:
    QString path() const { return dir_.filePath("Quillrom2.INI"); }
    // The settings written to the profile and read back from it.
    void SaveAndRead(const SetupSettings &out, SetupSettings *in) const {
        Profile p(path());
        SaveSettings(p, out);
        QVERIFY(p.save());
        LoadSettings(Profile(path()), *in);
    }
    QTemporaryDir dir_;
};

QTEST_GUILESS_MAIN(ProfileTest)
#include "profile_test.moc"
