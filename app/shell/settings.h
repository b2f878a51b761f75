// SetupSettings: the program's settings record and its profile mapping.
#pragma once

#include <QList>
#include <QString>

class Profile;

// Where and how the program records its device commands. Empty texts take
// the defaults quillrom uses: its database file, the host name, the login name.
struct RecordSettings {
    int enabled = 1;
    QString database;      // "sqlite:PATH", a path, or "postgresql://..."
    QString station;
    QString operatorName;
};

// One source of the load image: a HEX, S-record or ELF file, or a raw
// binary whose first byte goes to `address`.
struct LoadSourceSetting {
    QString path;
    bool binary = false;
    quint32 address = 0;
    bool operator==(const LoadSourceSetting &) const = default;
};

// Every field the profile stores, with the start values the view sets
// before the profile is read. -1 marks a choice not made yet.
struct SetupSettings {
    QString loadFileName;               // the first source's path
    QList<LoadSourceSetting> loadSources;  // every source of the image, in order; empty: loadFileName alone
    QList<LoadSourceSetting> binaryAddresses;  // the address each raw binary last had, newest first
    QString prmFileName;
    int prmIndex = 0;
    int portIndex = -1;   // zero-based COM number (COM1 = 0)
    int speedIndex = -1;
    QString freq;         // MHz, decimal text
    QString multiply;
    int supValue = -1;    // 0 chip, 1 block, 2 area
    int showAddr = 0;
    int showStart = -1;   // -1: the parameter file's default first block
    int showEnd = -1;
    int selectProg = 0;
    QString selStart;
    QString selEnd;
    int commandOptions = 15;
    int optBlk = 0;       // blank check before erase
    int optVeri = 0;      // verify after program
    int optSec = 0;       // security flag after program
    int optSum = 0;       // checksum after program
    int secProgBlock = 0;
    int secEraseBlock = 0;
    int secChipErase = 0;
    int powerMessage = 0;
    int visiblePower = 0;  // read only: never written back
    int enableAllCom = 0;  // read only: never written back
    int autoMode = 0;      // written at exit, never restored
    RecordSettings record;

    // Not stored.
    int securityEnabled = 0;
    QString portName;      // at most 20 characters
    QString portDetail;    // at most 100 characters
    QString optionText1;   // the Advance page's texts beside its security flags
    QString optionText2;

    // The option bits as the four option fields give them. Each field is a
    // check box state; any nonzero value counts as set, so a damaged profile
    // cannot switch on a different option or overflow.
    int optionBits() const { return (optBlk != 0) + 2 * (optVeri != 0) + 4 * (optSec != 0) + 8 * (optSum != 0); }
};

// The image's sources: loadSources, or loadFileName as the only one.
QList<LoadSourceSetting> LoadSourcesOf(const SetupSettings &s);
// At most this many raw binaries keep their address.
inline constexpr int kRememberedBinaries = 16;

// Fills the stored fields from the profile in the program's fixed order and
// applies the start-up rules (option bits recomputed, security enabled,
// Auto cleared).
void LoadSettings(const Profile &profile, SetupSettings &s);

// Writes the stored fields (and Install=1) into the profile; the caller saves it.
void SaveSettings(Profile &profile, const SetupSettings &s);
