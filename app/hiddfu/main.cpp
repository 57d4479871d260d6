#include "kr_frontend.h"

int main(int argc, char** argv)
{
    return kr::runCommandLine(argc, argv);
}
