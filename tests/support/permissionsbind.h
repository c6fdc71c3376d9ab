#pragma once

#include <linux/capability.h>

// While it exists, file permissions bind the calling thread as they bind a normal user,
// so that a read-only folder is read-only for the test even when it runs as root (as in
// CI): it takes CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH and CAP_FOWNER out of the thread's
// effective capabilities and puts them back at the end. They stay permitted, so raising
// them again needs no privilege. A normal user is bound anyway and nothing changes.
class PermissionsBind
{
public:
    PermissionsBind();
    ~PermissionsBind();
    PermissionsBind(const PermissionsBind &) = delete;
    PermissionsBind &operator=(const PermissionsBind &) = delete;

    // False when the capabilities could not be dropped: the permissions do not bind.
    bool binds() const { return m_binds; }

private:
    bool m_binds = false;
    __user_cap_data_struct m_saved[_LINUX_CAPABILITY_U32S_3] = {};
};
