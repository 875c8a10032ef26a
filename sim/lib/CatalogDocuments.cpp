#include "sim/lib/CatalogDocuments.h"

#include "sim/lib/CatalogPlistWriter.h"

namespace vantrel::sim {

namespace {

std::string quotedList(const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "'" : ", '") + items[i] + "'";
    }
    return out;
}

std::string boardScript(const DistributionDocument& document) {
    return "<script><![CDATA[\n"
           "var minRam = 2048;\n"
           "var supportedBoardIDs = [" +
           quotedList(document.boardIds) +
           "];\n"
           "function isVirtualMachine() {\n"
           "    var cpuFeatures = system.sysctl('machdep.cpu.features');\n"
           "    return cpuFeatures.split(' ').indexOf('VMM') != -1;\n"
           "}\n"
           "function isSupportedPlatform() {\n"
           "    if (isVirtualMachine()) {\n"
           "        return true;\n"
           "    }\n"
           "    var boardID = system.ioregistry.fromPath('IOService:/')['board-id'];\n"
           "    return supportedBoardIDs.indexOf(boardID) != -1;\n"
           "}\n"
           "]]></script>";
}

std::string checkScript() {
    return "<script><![CDATA[\n"
           "function installationCheck() {\n"
           "    if (!isSupportedPlatform()) {\n"
           "        my.result.type = 'Fatal';\n"
           "        my.result.message = system.localizedString('ERROR_PLATFORM');\n"
           "        return false;\n"
           "    }\n"
           "    if (system.sysctl('hw.memsize') < minRam * 1024 * 1024) {\n"
           "        my.result.type = 'Fatal';\n"
           "        my.result.message = system.localizedString('ERROR_MEMORY');\n"
           "        return false;\n"
           "    }\n"
           "    return true;\n"
           "}\n"
           "]]></script>";
}

std::string modelScript(const DistributionDocument& document) {
    return "<script><![CDATA[\n"
           "var nonSupportedModels = [" +
           quotedList(document.refusedModels) +
           "];\n"
           "function isSupportedModel() {\n"
           "    var currentModel = system.sysctl('hw.model');\n"
           "    return nonSupportedModels.indexOf(currentModel) == -1;\n"
           "}\n"
           "]]></script>";
}

}  // namespace

std::string distributionXml(const DistributionDocument& document) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?>\n"
        "<installer-gui-script minSpecVersion=\"2\">\n"
        "    <title>SU_TITLE</title>\n"
        "    <options hostArchitectures=\"x86_64\" customize=\"never\" "
        "rootVolumeOnly=\"true\"/>\n"
        "    <volume-check script=\"installationCheck()\"/>\n";
    xml += "    " + boardScript(document) + "\n";
    if (document.scripts >= 2) {
        xml += "    " + checkScript() + "\n";
    }
    if (document.scripts >= 3) {
        xml += "    " + modelScript(document) + "\n";
    }
    xml += "    <localization>\n        <strings language=\"" + xmlEscape(document.language) +
           "\"><![CDATA[\n\"SU_TITLE\" = \"" + document.title +
           "\";\n\"ERROR_PLATFORM\" = \"This computer is not supported.\";\n"
           "\"ERROR_MEMORY\" = \"This computer has too little memory.\";\n]]></strings>\n"
           "    </localization>\n";
    xml +=
        "    <choices-outline>\n        <line choice=\"osinstall\"/>\n"
        "    </choices-outline>\n"
        "    <choice id=\"osinstall\" title=\"SU_TITLE\" visible=\"false\">\n";
    for (const auto& package : document.packages) {
        xml += "        <pkg-ref id=\"" + xmlEscape(package.identifier) + "\"/>\n";
    }
    xml += "    </choice>\n";
    for (const auto& package : document.packages) {
        xml += "    <pkg-ref id=\"" + xmlEscape(package.identifier) + "\" auth=\"Root\" " +
               "packageIdentifier=\"" + xmlEscape(package.identifier) + "\" version=\"" +
               xmlEscape(document.version) + "\" installKBytes=\"" +
               std::to_string(package.installKBytes) + "\" fileSize=\"" +
               std::to_string(package.bytes) + "\" sha256=\"" + package.sha256 + "\">#" +
               xmlEscape(package.fileName) + "</pkg-ref>\n";
    }
    if (document.auxinfo) {
        xml +=
            "    <auxinfo>\n        <dict>\n"
            "            <key>BUILD</key>\n            <string>" +
            xmlEscape(document.build) +
            "</string>\n"
            "            <key>VERSION</key>\n            <string>" +
            xmlEscape(document.version) + "</string>\n        </dict>\n    </auxinfo>\n";
    }
    xml += "</installer-gui-script>\n";
    return xml;
}

std::string serverMetadataXml(const std::string& title, const std::string& version,
                              const std::vector<std::string>& languages, bool withTitle) {
    PlistText body(0);
    body.beginDict().key("CFBundleShortVersionString").string(version);
    body.key("localization").beginDict();
    for (const auto& language : languages) {
        body.key(language).beginDict();
        body.key("description").string(title + " brings new features and refinements to your Mac.");
        if (withTitle) {
            body.key("title").string(title);
        }
        body.endDict();
        if (!withTitle) {
            break;  // one string in all, so no title at all
        }
    }
    body.endDict();
    body.key("ProductType").string("macOS");
    body.endDict();
    return PlistText::header() + body.text() + PlistText::footer();
}

std::string notXml(const std::string& what) {
    return "<html><head><title>503 Service Unavailable</title></head>\n<body>The " + what +
           " is temporarily unavailable. & Please retry later.\n";
}

}  // namespace vantrel::sim
