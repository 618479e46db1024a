#include "driver.h"
#include "winargs.h"

int main(int argc, char **argv)
{
    winargs(&argc, &argv);
    return ravlox_main(argc, argv);
}
