// A media device's graph, and the subdevices that make up the camera behind one of its capture
// nodes: the entities on the enabled data links upstream of the node, and each one's lens.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <linux/media.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace camctl {

class Device;

struct MediaTopology {
  std::vector<media_v2_entity> entities;
  std::vector<media_v2_interface> interfaces;
  std::vector<media_v2_pad> pads;
  std::vector<media_v2_link> links;
};

// Reads the whole graph from a media device's node: one request when the graph fits the room
// first offered, which real graphs do; 0 or the errno value.
int read_media_topology(Device& media, MediaTopology& topology);

// One subdevice node of a camera.
struct SubdeviceNode {
  std::string entity;  // the entity's name
  dev_t number = 0;    // the node's device number
};

// The subdevice nodes whose controls are the camera's, for the capture node with the device
// number capture, in the order the pipeline runs: the sources first (a sensor, followed by its
// lens), then each entity the frames pass on their way to the node, along the enabled data links.
// Where an entity has several sink pads, or a pad several enabled links, the lower pad index and
// the graph's own link order go first. Entities without a subdevice node add nothing, and no
// entity comes twice. Empty when the node is not in the graph or nothing lies upstream.
std::vector<SubdeviceNode> camera_subdevices(const MediaTopology& topology, dev_t capture);

// The name of the entity whose interface has the device number; "" when none has.
std::string entity_name_of(const MediaTopology& topology, dev_t number);

}  // namespace camctl
