// The entries of the Standard page's port list, taken from the library's
// port listing so that a COM number means the same port everywhere.
#pragma once

#include <functional>
#include <vector>

#include <QList>
#include <QString>

#include "quillctl.h"

struct PortChoice {
    int number = 0;  // n of COMn
    QString name;    // "COMn"
    QString label;   // the list's text: the name, and for an alias of an adapter its description
    QString detail;  // device path and description, at most kPortDetailLength characters
};

inline constexpr int kPortDetailLength = 100;  // what the settings keep of it

// Lists the ports, `allPorts` choosing between the ports a programmer is
// usually attached to and every serial device.
using PortLister = std::function<std::vector<PRRPortInfo>(bool allPorts)>;

// The library's listing, every entry of it.
std::vector<PRRPortInfo> LibraryPorts(bool allPorts);

// The list entries in the listing's order. Entries without a COM number
// the library can open are left out.
QList<PortChoice> PortChoices(const std::vector<PRRPortInfo> &ports);
