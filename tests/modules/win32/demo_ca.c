/* The Windows demo module examples/modules/win32/demo_ca.c, built as a test library so that the tests
 * can check it against what the Pascal demo answers. */
#include "../../../examples/modules/win32/demo_ca.c"
