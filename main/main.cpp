// vesklo: copies a disk file or a serial port to a disk file or a serial
// port, unchanged or through the Hispeed code, optionally behind a LOADM
// header.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "endpoint.h"
#include "transfer.h"
#include "cmdline.h"
#include "console.h"

namespace {

transfer_result run_transfer(const run_settings &settings, endpoint *source,
                             endpoint *destination, decode_report *code)
{
    switch (settings.command) {
    case 'c': return copy_file(source, destination, settings.start_address);
    case 'e': return encode_file(source, destination, settings.start_address);
    default: return decode_file(source, destination, code);
    }
}

enum failed_step { open_source, open_destination, read_source, write_destination };

// Prints the failure message of step, naming the endpoint, on standard
// output, where scripts read it, and the reason saved where it failed on
// standard error. Returns the exit status of a failed run.
int report_failure(failed_step step, const char *name)
{
    char reason[600];
    describe_failure(last_failure(), name, reason, sizeof reason);
    const char *shown = shown_name(name);
    switch (step) {
    case open_source: std::printf("Can't open source file '%s'\n", shown); break;
    case open_destination: std::printf("Can't open destination file '%s'\n", shown); break;
    case read_source: std::printf("\nCan't read source file '%s'\n", shown); break;
    case write_destination: std::printf("\nCan't write destination file '%s'\n", shown); break;
    }
    print_reason_line(name, reason);
    return 1;
}

// A decode reads every byte whatever it holds; say so when the code did
// not come through as it was sent.
void report_damage(const char *source, const decode_report &code)
{
    if (code.damaged == 0 && !code.odd_byte_dropped) return;
    char what[300];
    if (code.damaged == 0)
        std::snprintf(what, sizeof what, "an odd last code byte was dropped");
    else
        std::snprintf(what, sizeof what,
                      "%lld of %lld code bytes were damaged (their doubled bits disagree)%s",
                      static_cast<long long>(code.damaged), static_cast<long long>(code.code_bytes),
                      code.odd_byte_dropped ? ", and an odd last code byte was dropped" : "");
    char text[500];
    std::snprintf(text, sizeof text,
                  "%s; likely a wrong baud rate, noise on the line, or a source that is not "
                  "Hispeed code",
                  what);
    print_reason_line(source, text);
}

// A port that kept other settings than those asked still carries the
// run; say what it kept and what that means.
void warn_if_kept(const endpoint &end)
{
    const kept_settings &kept = end.kept;
    char text[500] = "";
    if (kept.data_bits != 0)
        std::snprintf(text, sizeof text,
                      "the port kept %d data bits where %d were asked%s: the Hispeed code "
                      "crosses either way, but a plain copy may be misread by a receiver that "
                      "expects %d%s",
                      kept.data_bits, kept.asked_data_bits,
                      kept.no_handshake ? ", and runs without RTS/CTS handshake" : "",
                      kept.asked_data_bits,
                      kept.no_handshake ? "; without the handshake a fast line may lose data"
                                        : "");
    else if (kept.no_handshake)
        std::snprintf(text, sizeof text,
                      "the port runs without RTS/CTS handshake: a fast line may lose data");
    if (text[0] != '\0') print_reason_line(end.name, text);
}

// The serial ports present, one a line; none found is said on standard
// error, and is no failure.
void list_ports_present()
{
    static port_listing ports[most_ports_listed];
    const int count = list_ports(ports, most_ports_listed);
    for (int i = 0; i < count; ++i) std::printf("%s\n", ports[i].text);
    if (count == 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "vesklo: no serial ports found\n");
    }
}

// --help, --version and --list. Returns the exit status: 0, or 1 with the
// reason on standard error when the answer could not be written (a full
// disk, a closed standard output).
int answer(info_request request)
{
    switch (request) {
    case info_help: std::printf("%s", usage_text); break;
    case info_version: std::printf("vesklo %s\n", VESKLO_VERSION); break;
    case info_list: list_ports_present(); break;
    case no_info_request: return 1;
    }
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    print_reason_line("standard output", std::strerror(errno));
    return 1;
}

}  // namespace

int vesklo_main(int argc, char **argv)
{
    console_prepare();
    const info_request request = parse_info_request(argc, argv);
    if (request != no_info_request) return answer(request);
    run_settings settings;
    if (!parse_args(argc, argv, option_prefixes, &settings)) {
        std::printf("%s", usage_text);
        return 1;
    }
    endpoint source = file_open(settings.source, settings.baud_rate, role_source, nullptr);
    if (source.handle == invalid_handle) return report_failure(open_source, settings.source);
    endpoint destination =
        file_open(settings.destination, settings.baud_rate, role_destination, &source);
    if (destination.handle == invalid_handle) {
        report_failure(open_destination, settings.destination);
        file_close(&source);
        return 1;
    }
    warn_if_kept(source);
    warn_if_kept(destination);
    decode_report code = {0, 0, false};
    int status = 0;
    switch (run_transfer(settings, &source, &destination, &code)) {
    case transfer_read_failed: status = report_failure(read_source, settings.source); break;
    case transfer_write_failed:
        status = report_failure(write_destination, settings.destination);
        break;
    case transfer_done: break;
    }
    file_close(&source);
    // A failed close of the destination can mean that written data never
    // reached it, so it counts as a failed write.
    if (!file_close(&destination) && status == 0)
        status = report_failure(write_destination, settings.destination);
    if (status != 0) return status;
    std::printf("\nfinish!\n");
    // A run that failed has said why; the damage would only blur it.
    report_damage(settings.source, code);
    return 0;
}
