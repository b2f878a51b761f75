// CFLPRRApp: the application object. It reads the command line, starts the
// demo's virtual target when asked, and creates the main window.
#pragma once

#include <QApplication>

class CFLPRRApp : public QApplication {
    Q_OBJECT
public:
    CFLPRRApp(int &argc, char **argv);
    // Runs the program; returns the exit code.
    int run();
};
