#pragma once

#include <memory>

#include "serial/port_map.h"

// A port map whose entries the test sets; shared so the test can change it
// after the window took ownership of its handle.
class FakePortMap : public PortMap {
public:
    struct Shared {
        QList<PortMapEntry> entries;
    };
    explicit FakePortMap(std::shared_ptr<Shared> s) : s_(std::move(s)) {}
    QList<PortMapEntry> entries() override { return s_->entries; }

private:
    std::shared_ptr<Shared> s_;
};
