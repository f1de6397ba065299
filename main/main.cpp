// vesklo: copies a disk file or a serial port to a disk file or a serial
// port, unchanged or through the Hispeed code, optionally behind a LOADM
// header.
#include <cstdio>

#include "../endpoint/endpoint.h"
#include "../transfer/transfer.h"
#include "cmdline.h"

namespace {

transfer_result run_transfer(const run_settings &settings, endpoint_handle source,
                             endpoint_handle destination)
{
    switch (settings.command) {
    case 'c': return copy_file(source, destination, settings.start_address);
    case 'e': return encode_file(source, destination, settings.start_address);
    default: return decode_file(source, destination);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    console_prepare();
    run_settings settings;
    if (!parse_args(argc, argv, option_prefixes, &settings)) {
        std::printf("%s", usage_text);
        return 1;
    }
    const endpoint_handle source = file_open(settings.source, settings.baud_rate, role_source);
    if (source == invalid_handle) {
        std::printf("Can't open source file '%s'\n", settings.source);
        return 1;
    }
    const endpoint_handle destination =
        file_open(settings.destination, settings.baud_rate, role_destination);
    if (destination == invalid_handle) {
        std::printf("Can't open destination file '%s'\n", settings.destination);
        file_close(source);
        return 1;
    }
    const transfer_result result = run_transfer(settings, source, destination);
    if (result != transfer_done) {
        if (result == transfer_read_failed)
            std::printf("\nCan't read source file '%s'\n", settings.source);
        else
            std::printf("\nCan't write destination file '%s'\n", settings.destination);
        file_close(source);
        file_close(destination);
        return 1;
    }
    file_close(source);
    // A failed close of the destination can mean that written data never
    // reached it, so it counts as a failed write.
    if (!file_close(destination)) {
        std::printf("\nCan't write destination file '%s'\n", settings.destination);
        return 1;
    }
    std::printf("\nfinish!\n");
    return 0;
}
