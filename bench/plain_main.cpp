// The program with its plain search and scan only: the reference that the
// benchmark measures the fast paths against.
#include "driver/driver.h"
#include "engine/front.h"
#include "platform/platform.h"
#include "settings/tuning.h"

int main(int argument_count, char **arguments)
{
    use_plain_paths = true;
    prefer_large_pages = platform_prefer_large_pages;
    return run_driver(argument_count, arguments, ditherer);
}
