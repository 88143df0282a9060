#include "driver/driver.h"
#include "engine/front.h"
#include "platform/platform.h"
#include "settings/tuning.h"

int main(int argument_count, char **arguments)
{
    prefer_large_pages = platform_prefer_large_pages;
    return run_driver(argument_count, arguments, ditherer);
}
