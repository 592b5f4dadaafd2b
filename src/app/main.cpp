#include "app/entry.h"

int main(int argc, char** argv) {
    return vel::app::RunVelmora(argc, argv);
}
