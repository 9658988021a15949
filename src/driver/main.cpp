#include "tarvick.h"

int main(int argc, char **argv)
{
    return driver_run(argc, argv);
}
