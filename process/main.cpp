// The vellicor executable.
#include "process/entry.h"
#include "process/vellicor.h"

int main(int argc, char** argv) {
    return batv_guarded_main("vellicor", [&] { return vellicor_main(argc, argv); });
}
