#pragma once

#include "support/TestEnvironment.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <linux/types.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace strataloom::test {

// Runs a shell command with its output thrown away; its exit status.
inline int runQuietly(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// A file system of a test's own: an image file in a fresh scratch folder,
// formatted and mounted through a loop device held for the test's whole life,
// so that mounting it again never races another test for a device being
// released; unmounted and released when it goes. Needs root.
class LoopMountedImage {
public:
    LoopMountedImage() = default;
    LoopMountedImage(const LoopMountedImage&) = delete;
    LoopMountedImage& operator=(const LoopMountedImage&) = delete;
    ~LoopMountedImage()
    {
        unmount();
        if (!m_device.empty())
            runQuietly("losetup -d '" + m_device + "'");
    }

    // Makes an image of `size` (as truncate(1) reads it), formats it as `type`
    // with `mkfs` (a command the image's path is appended to) and mounts it.
    // Empty when mounted, else why the test has to be skipped.
    std::string make(const std::string& label, const std::string& size, const std::string& type,
                     const std::string& mkfs)
    {
        if (geteuid() != 0)
            return "loop-mounting a file system needs root";
        const std::string folder = makeScratchFolder(label);
        m_image = folder + "/disk.img";
        m_mountPoint = folder + "/mnt";
        std::filesystem::create_directories(m_mountPoint);
        if (runQuietly("truncate -s " + size + " '" + m_image + "'") != 0
            || runQuietly(mkfs + " '" + m_image + "'") != 0)
            return "cannot make a " + type + " image (" + mkfs + ")";
        if (FILE* losetup = popen(("losetup --find --show '" + m_image + "' 2>/dev/null").c_str(), "r")) {
            char line[256] = {};
            if (fgets(line, sizeof line, losetup))
                m_device = std::string(line).substr(0, std::string(line).find('\n'));
            pclose(losetup);
        }
        if (m_device.empty() || !mount())
            return "cannot loop-mount a " + type + " image here";
        return {};
    }

    bool mount()
    {
        m_mounted = runQuietly("mount '" + m_device + "' '" + m_mountPoint + "'") == 0;
        return m_mounted;
    }

    bool unmount()
    {
        if (m_mounted && runQuietly("umount '" + m_mountPoint + "'") == 0)
            m_mounted = false;
        return !m_mounted;
    }

    // A power cut: the file system shut down without flushing its journal
    // (as file-system test suites simulate one; ext4 and XFS take the same
    // request, from the kernel's fs/ext4/ext4.h, which no installed header
    // carries), then the next boot's mount with its journal replay.
    bool cutPowerAndRemount()
    {
        constexpr unsigned long kShutdown = _IOR('X', 125, __u32);
        __u32 withoutJournalFlush = 0x2;
        const int root = open(m_mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool shut = root >= 0 && ioctl(root, kShutdown, &withoutJournalFlush) == 0;
        if (root >= 0)
            close(root);
        return shut && unmount() && mount();
    }

    const std::string& mountPoint() const { return m_mountPoint; }

private:
    std::string m_image;
    std::string m_device;
    std::string m_mountPoint;
    bool m_mounted = false;
};

} // namespace strataloom::test
