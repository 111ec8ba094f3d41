#include "treewriter.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vyrsim {

TreeWriter::TreeWriter(std::string root) : mRoot(std::move(root)) {}

void TreeWriter::prepare() {
    std::error_code ec;
    fs::remove_all(path(".staging"), ec);
    fs::remove_all(path(".trash"), ec);
    fs::create_directories(path(".staging"), ec);
    fs::create_directories(path(".trash"), ec);
}

std::string TreeWriter::path(const std::string &relative) const {
    return mRoot + "/" + relative;
}

std::string TreeWriter::stage() {
    std::string dir = path(".staging/" + std::to_string(++mSerial));
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    return dir;
}

bool TreeWriter::writeAttr(const std::string &dir, const std::string &name,
                           const std::string &value) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out << value << '\n';
    return bool(out);
}

bool TreeWriter::place(const std::string &staged, const std::string &target) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(target, ec))) return false;
    fs::create_directories(fs::path(target).parent_path(), ec);
    return ::rename(staged.c_str(), target.c_str()) == 0;
}

void TreeWriter::remove(const std::string &target) {
    std::string away = path(".trash/" + std::to_string(++mSerial));
    std::error_code ec;
    if (::rename(target.c_str(), away.c_str()) != 0) return;
    fs::remove_all(away, ec);
}

std::string TreeWriter::tempNextTo(const std::string &file) {
    fs::path p(file);
    return (p.parent_path() / ("." + p.filename().string() + ".tmp" + std::to_string(++mSerial)))
        .string();
}

bool TreeWriter::link(const std::string &target, const std::string &linkPath) {
    std::error_code ec;
    fs::path rel = fs::path(target).lexically_relative(fs::path(linkPath).parent_path());
    std::string tmp = tempNextTo(linkPath);
    fs::create_directory_symlink(rel, tmp, ec);
    if (ec) return false;
    if (::rename(tmp.c_str(), linkPath.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool TreeWriter::writeFile(const std::string &file, const std::string &content) {
    std::string tmp = tempNextTo(file);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) return false;
    }
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace vyrsim
