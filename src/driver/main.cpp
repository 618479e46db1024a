// SPDX-License-Identifier: MIT
#include "driver.h"
#include "winargs.h"

#include "../matout/convert.h"

int main(int argc, char **argv)
{
    winargs(&argc, &argv);
    catchsignals();
    return ravlox_main(argc, argv);
}
