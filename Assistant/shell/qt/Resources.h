#pragma once
// Registers the program's compiled-in resources (icons) once; call before using ":/" paths.
void kxEnsureResources();
