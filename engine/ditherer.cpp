#include "engine/ditherer.h"

// The engine is being built; for now an input file is only echoed by the driver.
void ditherer()
{
}
