// vantorelle-app: the tray application.
#include "shell/Main.h"

int main(int argc, char** argv)
{
    return vantorelle::runApplication(argc, argv);
}
