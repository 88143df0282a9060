#include "driver/driver.h"
#include "engine/front.h"

int main(int argument_count, char **arguments)
{
    return run_driver(argument_count, arguments, ditherer);
}
