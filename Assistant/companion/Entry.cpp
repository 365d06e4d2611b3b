// KxService: the companion service program (CompanionCommands.h).
#include "companion/CompanionCommands.h"
#include "platform/Process.h"

int main(int argc, char** argv)
{
    const std::string folder = kx::platform::executableFolder();
    if (const std::optional<int> code =
            kx::companion::runCommand(kx::platform::commandLineArguments(argc, argv), folder))
        return *code;
    return kx::companion::serve(folder);
}
