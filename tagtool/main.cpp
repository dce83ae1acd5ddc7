// The vellicor-tag executable.
#include "process/entry.h"
#include "tagtool/tagtool.h"

int main(int argc, char** argv) {
    return batv_guarded_main("vellicor-tag", [&] { return tagtool_main(argc, argv); });
}
