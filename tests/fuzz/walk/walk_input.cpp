// The input camera's decoding of requests' answers from bytes, and the matching encoder.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "walk_input.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>

namespace walkfuzz {
namespace {

constexpr int kFd = 42;
constexpr std::uint32_t kNextFlags = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;

// Types 0..0x7f stand for themselves; 0x80 and above for the compound types from 0x100.
std::uint32_t decode_type(std::uint8_t raw) {
  return raw < 0x80 ? raw : 0x100U + (raw - 0x80U);
}
std::uint8_t encode_type(std::uint32_t type) {
  if (type < 0x80) return static_cast<std::uint8_t>(type);
  if (type >= 0x100 && type < 0x180) return static_cast<std::uint8_t>(0x80 + (type - 0x100));
  return 0x7f;
}

}  // namespace

std::uint8_t InputCamera::take_byte() {
  return offset_ < size_ ? data_[offset_++] : 0;
}

void InputCamera::take_bytes(void* to, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(to);
  for (std::size_t i = 0; i < count; ++i) out[i] = take_byte();
}

std::uint32_t InputCamera::take32() {
  std::uint32_t value = 0;
  for (int shift = 0; shift < 32; shift += 8) value |= std::uint32_t{take_byte()} << shift;
  return value;
}

int InputCamera::verdict() {
  if (exhausted()) return EINVAL;
  const std::uint8_t v = take_byte();
  return v >= kFailVerdict ? kErrors[v - kFailVerdict] : 0;
}

const Answered* InputCamera::answered(std::uint32_t id) const {
  const auto it = answered_.find(id);
  return it == answered_.end() ? nullptr : &it->second;
}

int InputCamera::open(const char*, int) {
  if (const int error = verdict(); error != 0) {
    errno = error;
    return -1;
  }
  ++open_count_;
  return kFd;
}

int InputCamera::close(int fd) {
  if (fd == kFd) --open_count_;
  return 0;
}

int InputCamera::ioctl(int fd, unsigned long request, void* arg) {
  if (fd != kFd || open_count_ <= 0) {
    errno = EBADF;
    return -1;
  }
  if (request == VIDIOC_QUERYCTRL && stopped_) ++after_stop_;
  int error = 0;
  switch (request) {
    case VIDIOC_QUERYCAP: {
      error = verdict();
      if (error != 0) break;
      auto* cap = static_cast<v4l2_capability*>(arg);
      std::memset(cap, 0, sizeof *cap);
      cap->capabilities = take32();
      cap->device_caps = cap->capabilities;
      take_bytes(cap->card, sizeof cap->card);
      take_bytes(cap->bus_info, sizeof cap->bus_info);
      break;
    }
    case VIDIOC_QUERYCTRL: {
      error = verdict();
      if (error != 0) break;
      auto* q = static_cast<v4l2_queryctrl*>(arg);
      const std::uint32_t asked = q->id & ~kNextFlags;
      std::memset(q, 0, sizeof *q);
      // The kernel never sets the walk's flag bits in the id it reports.
      q->id = (asked + take32()) & ~kNextFlags;
      q->type = decode_type(take_byte());
      q->flags = take_byte();
      q->flags |= std::uint32_t{take_byte()} << 8;
      q->minimum = static_cast<std::int32_t>(take32());
      q->maximum = static_cast<std::int32_t>(take32());
      q->step = static_cast<std::int32_t>(take32());
      q->default_value = static_cast<std::int32_t>(take32());
      take_bytes(q->name, sizeof q->name);
      if (have_last_id_ && q->id <= last_id_) stopped_ = true;
      have_last_id_ = true;
      last_id_ = q->id;
      answered_.try_emplace(q->id, Answered{q->flags, false, 0});  // a repeat ends the walk
      break;
    }
    case VIDIOC_G_CTRL: {
      error = verdict();
      if (error != 0) break;
      auto* c = static_cast<v4l2_control*>(arg);
      c->value = static_cast<std::int32_t>(take32());
      Answered& a = answered_[c->id];
      a.has_value = true;
      a.value = c->value;
      break;
    }
    case VIDIOC_S_CTRL: {
      auto* c = static_cast<v4l2_control*>(arg);
      WriteAnswer w{c->id, c->value, verdict(), 0};
      if (w.error == 0) {
        if ((take_byte() & 1) == 0) c->value = static_cast<std::int32_t>(take32());
        w.returned = c->value;
      }
      // The device layer asks again after EINTR; only the final answer counts as the write.
      if (w.error != EINTR) writes_.push_back(w);
      error = w.error;
      break;
    }
    case VIDIOC_QUERYMENU: {
      error = verdict();
      if (error != 0) break;
      auto* m = static_cast<v4l2_querymenu*>(arg);
      take_bytes(m->name, sizeof m->name);
      break;
    }
    case VIDIOC_G_FMT: {
      error = verdict();
      if (error != 0) break;
      auto* f = static_cast<v4l2_format*>(arg);
      f->fmt.pix.width = take32();
      f->fmt.pix.height = take32();
      f->fmt.pix.pixelformat = take32();
      break;
    }
    default:
      error = ENOTTY;
      break;
  }
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

void Encoder::put32(std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
}

void Encoder::put_bytes(const void* from, std::size_t count) {
  const auto* in = static_cast<const std::uint8_t*>(from);
  bytes_.insert(bytes_.end(), in, in + count);
}

bool Encoder::verdict(int result) {
  if (result == 0) {
    byte(0);
    return true;
  }
  std::uint8_t code = 0;  // an errno the table lacks becomes EINVAL
  for (std::uint8_t i = 0; i < 16; ++i) {
    if (kErrors[i] == result) code = i;
  }
  byte(static_cast<std::uint8_t>(kFailVerdict + code));
  return false;
}

void Encoder::open(int result) {
  verdict(result);
}

void Encoder::request(unsigned long request, const void* asked, const void* arg, int result) {
  if (request != VIDIOC_QUERYCAP && request != VIDIOC_QUERYCTRL && request != VIDIOC_G_CTRL &&
      request != VIDIOC_S_CTRL && request != VIDIOC_QUERYMENU && request != VIDIOC_G_FMT) {
    return;
  }
  if (!verdict(result)) return;
  switch (request) {
    case VIDIOC_QUERYCAP: {
      const auto* cap = static_cast<const v4l2_capability*>(arg);
      put32(cap->capabilities);
      put_bytes(cap->card, sizeof cap->card);
      put_bytes(cap->bus_info, sizeof cap->bus_info);
      break;
    }
    case VIDIOC_QUERYCTRL: {
      const auto* q = static_cast<const v4l2_queryctrl*>(arg);
      const std::uint32_t from = static_cast<const v4l2_queryctrl*>(asked)->id & ~kNextFlags;
      put32(q->id - from);
      byte(encode_type(q->type));
      byte(static_cast<std::uint8_t>(q->flags));
      byte(static_cast<std::uint8_t>(q->flags >> 8));
      put32(static_cast<std::uint32_t>(q->minimum));
      put32(static_cast<std::uint32_t>(q->maximum));
      put32(static_cast<std::uint32_t>(q->step));
      put32(static_cast<std::uint32_t>(q->default_value));
      put_bytes(q->name, sizeof q->name);
      break;
    }
    case VIDIOC_G_CTRL:
      put32(static_cast<std::uint32_t>(static_cast<const v4l2_control*>(arg)->value));
      break;
    case VIDIOC_S_CTRL: {
      const std::int32_t wanted = static_cast<const v4l2_control*>(asked)->value;
      const std::int32_t got = static_cast<const v4l2_control*>(arg)->value;
      if (wanted == got) {
        byte(1);
      } else {
        byte(0);
        put32(static_cast<std::uint32_t>(got));
      }
      break;
    }
    case VIDIOC_QUERYMENU:
      put_bytes(static_cast<const v4l2_querymenu*>(arg)->name, 32);
      break;
    case VIDIOC_G_FMT: {
      const auto* f = static_cast<const v4l2_format*>(arg);
      put32(f->fmt.pix.width);
      put32(f->fmt.pix.height);
      put32(f->fmt.pix.pixelformat);
      break;
    }
    default:
      break;
  }
}

}  // namespace walkfuzz
