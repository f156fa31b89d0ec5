// The vorlane7 executable: everything happens in the start procedure.
#include "app/Startup.h"

int main(int argc, char **argv)
{
    return v7::Main(argc, argv);
}
