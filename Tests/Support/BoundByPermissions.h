#pragma once

#include <algorithm>
#include <iterator>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere::test {

// Permission bits bind the calling thread while it lives, root's too: the powers over them are
// put out of effect and back, so that a folder of mode 0555 refuses a test run by root as it
// refuses an ordinary user.
class BoundByPermissions {
public:
    BoundByPermissions()
    {
        if (::syscall(SYS_capget, &m_header, m_before) != 0)
            return;
        __user_cap_data_struct bound[_LINUX_CAPABILITY_U32S_3];
        std::copy(std::begin(m_before), std::end(m_before), std::begin(bound));
        for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            bound[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
        m_changed = ::syscall(SYS_capset, &m_header, bound) == 0;
    }
    ~BoundByPermissions()
    {
        if (m_changed)
            ::syscall(SYS_capset, &m_header, m_before);
    }
    BoundByPermissions(const BoundByPermissions &) = delete;
    BoundByPermissions &operator=(const BoundByPermissions &) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_before[_LINUX_CAPABILITY_U32S_3] = {};
    bool m_changed = false;
};

} // namespace quillmere::test
