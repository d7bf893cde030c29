// The graph walk behind a capture node. Everything here works on the topology as read; nothing
// asks the device again.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/media_graph.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "device/device.h"

// Linux 5.17 added lens links; the board's 5.10 headers lack the flag, whose value is part of
// the kernel's fixed interface.
#ifndef MEDIA_LNK_FL_ANCILLARY_LINK
#define MEDIA_LNK_FL_ANCILLARY_LINK (2 << 28)
#endif

namespace camctl {
namespace {

// Room for a board's whole graph at the first request: a few dozen entities at most.
constexpr __u32 kFirstEntities = 64;
constexpr __u32 kFirstInterfaces = 64;
constexpr __u32 kFirstPads = 256;
constexpr __u32 kFirstLinks = 256;
// A graph that keeps growing between two reads is not worth chasing for good.
constexpr int kMaxReads = 4;

template <typename T>
__u64 pointer_of(std::vector<T>& items) {
  return static_cast<__u64>(reinterpret_cast<std::uintptr_t>(items.data()));
}

std::uint32_t link_type(const media_v2_link& link) {
  return link.flags & MEDIA_LNK_FL_LINK_TYPE;
}

std::string name_of(const media_v2_entity& entity) {
  return std::string(entity.name, strnlen(entity.name, sizeof entity.name));
}

class Walk {
 public:
  explicit Walk(const MediaTopology& topology) : topology_(topology) {}

  const media_v2_entity* entity(std::uint32_t id) const {
    for (const media_v2_entity& e : topology_.entities) {
      if (e.id == id) return &e;
    }
    return nullptr;
  }

  // The subdevice interface linked to the entity, or nullptr.
  const media_v2_interface* subdevice_interface(std::uint32_t entity_id) const {
    for (const media_v2_link& link : topology_.links) {
      if (link_type(link) != MEDIA_LNK_FL_INTERFACE_LINK || link.sink_id != entity_id) continue;
      for (const media_v2_interface& intf : topology_.interfaces) {
        if (intf.id == link.source_id && intf.intf_type == MEDIA_INTF_T_V4L_SUBDEV) return &intf;
      }
    }
    return nullptr;
  }

  // The entity whose interface has the device number; 0 when none has.
  std::uint32_t entity_of(dev_t number) const {
    for (const media_v2_interface& intf : topology_.interfaces) {
      if (makedev(intf.devnode.major, intf.devnode.minor) != number) continue;
      for (const media_v2_link& link : topology_.links) {
        if (link_type(link) == MEDIA_LNK_FL_INTERFACE_LINK && link.source_id == intf.id) {
          return link.sink_id;
        }
      }
    }
    return 0;
  }

  // Sources first: everything upstream of the entity, then the entity and its lenses.
  void visit(std::uint32_t entity_id, bool add_self) {
    if (std::find(seen_.begin(), seen_.end(), entity_id) != seen_.end()) return;
    seen_.push_back(entity_id);
    std::vector<const media_v2_pad*> sinks;
    for (const media_v2_pad& pad : topology_.pads) {
      if (pad.entity_id == entity_id && (pad.flags & MEDIA_PAD_FL_SINK) != 0) sinks.push_back(&pad);
    }
    std::stable_sort(sinks.begin(), sinks.end(), [](const media_v2_pad* a, const media_v2_pad* b) {
      return a->index < b->index;
    });
    for (const media_v2_pad* sink : sinks) {
      for (const media_v2_link& link : topology_.links) {
        if (link_type(link) != MEDIA_LNK_FL_DATA_LINK || link.sink_id != sink->id ||
            (link.flags & MEDIA_LNK_FL_ENABLED) == 0) {
          continue;
        }
        for (const media_v2_pad& source : topology_.pads) {
          if (source.id == link.source_id) visit(source.entity_id, true);
        }
      }
    }
    if (!add_self) return;
    add(entity_id);
    // A lens belongs to its sensor: a link of its own, with entities at both ends.
    for (const media_v2_link& link : topology_.links) {
      if (link_type(link) == MEDIA_LNK_FL_ANCILLARY_LINK && link.source_id == entity_id &&
          std::find(seen_.begin(), seen_.end(), link.sink_id) == seen_.end()) {
        seen_.push_back(link.sink_id);
        add(link.sink_id);
      }
    }
  }

  std::vector<SubdeviceNode> result;

 private:
  void add(std::uint32_t entity_id) {
    const media_v2_entity* e = entity(entity_id);
    const media_v2_interface* intf = subdevice_interface(entity_id);
    if (e == nullptr || intf == nullptr) return;
    result.push_back({name_of(*e), makedev(intf->devnode.major, intf->devnode.minor)});
  }

  const MediaTopology& topology_;
  std::vector<std::uint32_t> seen_;
};

}  // namespace

int read_media_topology(Device& media, MediaTopology& topology) {
  media_v2_topology request{};
  request.num_entities = kFirstEntities;
  request.num_interfaces = kFirstInterfaces;
  request.num_pads = kFirstPads;
  request.num_links = kFirstLinks;
  for (int read = 0; read < kMaxReads; ++read) {
    topology.entities.assign(request.num_entities, media_v2_entity{});
    topology.interfaces.assign(request.num_interfaces, media_v2_interface{});
    topology.pads.assign(request.num_pads, media_v2_pad{});
    topology.links.assign(request.num_links, media_v2_link{});
    request.ptr_entities = pointer_of(topology.entities);
    request.ptr_interfaces = pointer_of(topology.interfaces);
    request.ptr_pads = pointer_of(topology.pads);
    request.ptr_links = pointer_of(topology.links);
    const int error = media.read_topology(request);
    if (error == 0) {
      topology.entities.resize(request.num_entities);
      topology.interfaces.resize(request.num_interfaces);
      topology.pads.resize(request.num_pads);
      topology.links.resize(request.num_links);
      return 0;
    }
    if (error != ENOSPC) return error;
    // Too little room; the kernel hands no count back with the refusal, but tells the sizes
    // when asked without room at all.
    media_v2_topology counts{};
    if (const int count_error = media.read_topology(counts); count_error != 0) return count_error;
    request = counts;
  }
  return ENOSPC;
}

std::vector<SubdeviceNode> camera_subdevices(const MediaTopology& topology, dev_t capture) {
  Walk walk(topology);
  const std::uint32_t entity = walk.entity_of(capture);
  if (entity == 0) return {};
  walk.visit(entity, false);
  return std::move(walk.result);
}

std::string entity_name_of(const MediaTopology& topology, dev_t number) {
  Walk walk(topology);
  const media_v2_entity* entity = walk.entity(walk.entity_of(number));
  return entity != nullptr ? name_of(*entity) : std::string();
}

}  // namespace camctl
