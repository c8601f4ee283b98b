// tessoral, the CUPS filter: raster on standard input, printer commands on standard output.
#include "filter/Tessoral.h"

int main(int argc, char* argv[])
{
    return filter::runTessoral(argc, argv, 0, stdout);
}
