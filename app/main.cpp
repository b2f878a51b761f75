#include "shell/flprr_app.h"

int main(int argc, char **argv) {
    CFLPRRApp app(argc, argv);
    return app.run();
}
