// quivern-get: the engine, settings and pipeline of Quivern driven from a terminal. It belongs to
// the program: it reads and writes the same Config.ini as the window program.

#include <clocale>
#include <cstdio>
#include <string>

#include "app/get/commands.h"
#include "app/get_languages.h"
#include "app/language.h"

#include <iostream>

namespace quivern::get {

int Usage() {
    std::fputs(
        "usage: quivern-get info FILE.nzb\n"
        "       quivern-get servers\n"
        "       quivern-get servers add HOST[:PORT] [--user U] [--password P] [--tls] "
        "[--accept-untrusted-cert]\n"
        "                   [--socks4|--socks5|--socks5-dns PROXYHOST:PORT [--proxy-user U --proxy-password "
        "P]]\n"
        "       quivern-get servers remove N\n"
        "       quivern-get download FILE.nzb [--server HOST[:PORT] [--user U --password P] [--tls]]\n"
        "                   [--connections N] [--out DIR] [--no-postproc]\n"
        "       quivern-get check FILE.nzb [--server HOST[:PORT] [--user U --password P] [--tls]] "
        "[--connections N]\n"
        "       quivern-get postproc DIR [--nzb FILE.nzb] [--password P]\n"
        "       quivern-get sfv FILE.sfv\n"
        "       quivern-get languages\n",
        stderr);
    return kExitUsage;
}

}  // namespace quivern::get

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    using namespace quivern::get;
    // Like the window program, pick the language library before any text is shown.
    quivern::SelectUserInterfaceLanguage();
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    const Args args(argv + 2, argv + argc);
    if (command == "info") return CmdInfo(args);
    if (command == "servers") return CmdServers(args);
    if (command == "download") return CmdDownload(args);
    if (command == "check") return CmdCheck(args);
    if (command == "postproc") return CmdPostproc(args);
    if (command == "sfv") return CmdSfv(args);
    if (command == "languages") return args.empty() ? quivern::RunLanguagesCommand(std::cout) : Usage();
    if (command == "-h" || command == "--help" || command == "help") {
        Usage();
        return kExitOk;
    }
    return Usage();
}
