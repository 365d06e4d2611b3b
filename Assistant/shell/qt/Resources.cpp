#include "shell/qt/Resources.h"

#include <QtGlobal>

// The resources are compiled into a static library, so they have to be registered explicitly.
static void registerCompiledResources()
{
    Q_INIT_RESOURCE(resources);
}

void kxEnsureResources()
{
    static const bool registered = (registerCompiledResources(), true);
    (void)registered;
}
