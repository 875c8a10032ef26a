// vantrel-sim mirror: writes a mirror of the software-update server.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "sim/command/Command.h"
#include "sim/command/CommandLine.h"
#include "sim/lib/MirrorBuilder.h"
#include "sim/lib/MirrorSpec.h"

namespace vantrel::sim {

namespace {

std::string faultList(const std::vector<FaultInfo>& faults, const std::string& indent) {
    std::string text;
    for (const auto& fault : faults) {
        text += indent + std::string(fault.name) + ": " + fault.help + "\n";
    }
    return text;
}

std::string helpFooter() {
    std::string text =
        "\nA release is written as one argument: NAME[:VERSION[:BUILD]] and then key=value\n"
        "fields, separated by blanks; lists are joined with '+'. For Catalina, Mojave and\n"
        "HighSierra the version and build have defaults. Fields:\n"
        "  name, version, build   as in NAME:VERSION:BUILD\n"
        "  key=001-23456          the product key (default: made up)\n"
        "  boards=Mac-A+Mac-B     board ids in the first distribution script (default: the\n"
        "                         default simulated Mac's and four others)\n"
        "  refuse=iMac8,1+...     models in the third distribution script\n"
        "  languages=English+fr   keys of \"Distributions\", one distribution file each\n"
        "  catalogs=15+16         OS minor versions whose catalogs list the product (13-16)\n"
        "  packages=9             number of packages (1-64); the first carries the installer\n"
        "                         application, the second its SharedSupport, the rest filler\n"
        "  size=1GiB              approximate total of the packages\n"
        "  shape=mixed|large      filler spread over packages of mixed sizes, or one large one\n"
        "  osinstall=TEXT         the catalog's \"OSInstall\" identifier\n"
        "  faults=a+b             faults of this product, from:\n" +
        faultList(releaseFaults(), "      ") +
        "\nCatalog faults (--catalog-fault), for all four catalogs:\n" +
        faultList(catalogFaults(), "  ") +
        "\nWithout --release or --spec-file the mirror holds Catalina, Mojave and HighSierra.\n"
        "Filler products are updates (their files are not on the mirror) and installers of\n"
        "other, invented releases (their distribution files and server metadata are); each\n"
        "catalog also lists a product whose \"OSInstall\" differs and one whose\n"
        "\"ExtendedMetaInfo\" lacks \"InstallAssistantPackageIdentifiers\". Mirror.plist in DIR\n"
        "lists every release's URLs and the server's rules.\n"
        "\nExample:\n"
        "  vantrel-sim mirror /tmp/mirror --base-url https://localhost:8443 \\\n"
        "    --release 'Catalina:10.15.7:19H15 size=1GiB shape=large' \\\n"
        "    --release 'Mojave packages=10 faults=truncate' --products 2000 --catalog-size 7M\n";
    return text;
}

std::vector<std::string> specFileLines(const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        throw std::runtime_error("cannot read " + file);
    }
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        const auto hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        if (line.find_first_not_of(" \t\r") != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

int runMirror(const std::vector<std::string>& arguments) {
    CLI::App app{
        "Writes a mirror of the software-update server into DIR: the four catalogs, "
        "and per release a product whose packages carry the installer application.",
        "mirror"};
    app.footer(helpFooter());
    MirrorSpec spec;
    std::string folder;
    std::vector<std::string> releaseTexts;
    std::string specFile;
    std::string fill = "zero";
    std::string catalogSize;
    app.add_option("DIR", folder, "Folder of the mirror (new, empty, or an earlier mirror)")
        ->required();
    app.add_option("--base-url", spec.baseURL,
                   "Scheme, host and port every URL of the mirror starts with")
        ->capture_default_str();
    app.add_option("--release", releaseTexts, "A release product (see below); repeatable");
    app.add_option("--spec-file", specFile, "A file of releases, one per line, '#' comments");
    app.add_option("--products", spec.fillerProducts, "Number of products besides the releases")
        ->capture_default_str();
    app.add_option("--decoy-percent", spec.decoyPercent,
                   "Share of those that are installers of other releases")
        ->capture_default_str();
    app.add_option("--catalog-size", catalogSize,
                   "Approximate size of each catalog (e.g. 7M); the updates list as many "
                   "packages as it takes");
    app.add_flag("--odd-shapes", spec.oddShapes,
                 "Add products of broken shapes: no \"OSInstall\" (the program says \"no\"), a "
                 "number as \"OSInstall\", non-dictionary metadata, a product that is a string");
    app.add_option("--catalog-fault", spec.catalogFault, "Break the catalogs (see below)");
    app.add_option("--fill", fill, "Filler bytes: zero (sparse on disk) or random")
        ->check(CLI::IsMember({"zero", "random"}))
        ->capture_default_str();
    app.add_option("--seed", spec.seed, "Seed of the made-up keys, names and sizes")
        ->capture_default_str();
    return runCommand(app, arguments, [&] {
        spec.randomFill = fill == "random";
        if (!catalogSize.empty()) {
            const auto bytes = parseByteSize(catalogSize);
            if (!bytes) {
                throw std::runtime_error("--catalog-size must be a size such as 7M, not '" +
                                         catalogSize + "'");
            }
            spec.catalogBytes = *bytes;
        }
        if (!specFile.empty()) {
            const auto lines = specFileLines(specFile);
            releaseTexts.insert(releaseTexts.end(), lines.begin(), lines.end());
        }
        if (releaseTexts.empty()) {
            for (const auto& known : knownReleases()) {
                releaseTexts.push_back(known.name);
            }
        }
        for (const auto& text : releaseTexts) {
            std::string error;
            auto release = parseReleaseSpec(text, &error);
            if (!release) {
                throw std::runtime_error(error);
            }
            spec.releases.push_back(std::move(*release));
        }
        buildMirror(folder, spec, std::cout);
        return 0;
    });
}

const CommandRegistration registration(
    "mirror",
    {"Writes a mirror of the software-update server (catalogs, documents, packages)", runMirror});

}  // namespace

}  // namespace vantrel::sim
