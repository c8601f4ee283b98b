// vellumar, the CUPS filter: raster on standard input, printer commands on standard output.
#include "filter/Vellumar.h"

int main(int argc, char* argv[])
{
    return filter::runVellumar(argc, argv, 0, stdout);
}
