#!/usr/bin/python3
"""Reads a device-based discovery config as Home Assistant's MQTT integration
does, and renders its sensors' value templates against records.

Standard input: the config's topic, its payload, then one record payload a
line (as sent to the config's state topic). Each problem Home Assistant would
refuse or warn about is printed as a line "error: ..."; then, a record a line,
the states its sensors take, as JSON ("f00": "21.5", unknown as null).
Exit status 0 when there was no error.

The rules are those Home Assistant documents for device-based discovery (the
topic, the shared options, "device" and "origin" required, each component
with "platform" and "unique_id") and those its sensor applies to a state:
a template that meets an undefined value warns, "None" is unknown, a sensor
with a state class takes numbers only (an empty state is ignored), and a
text state may hold at most 255 characters.
"""
import json
import re
import sys

import jinja2
from jinja2.sandbox import ImmutableSandboxedEnvironment

ROOT_ABBREVIATIONS = {"dev": "device", "o": "origin", "cmps": "components", "cmp": "components",
                      "stat_t": "state_topic", "avty_t": "availability_topic", "avty": "availability",
                      "avty_mode": "availability_mode", "cmd_t": "command_topic", "e": "encoding", "~": "~"}
SHARED_OPTIONS = {"device", "origin", "components", "state_topic", "command_topic", "qos", "encoding",
                  "availability", "availability_topic", "availability_mode", "availability_template",
                  "payload_available", "payload_not_available", "~"}
DEVICE_ABBREVIATIONS = {"ids": "identifiers", "cns": "connections", "mf": "manufacturer", "mdl": "model",
                        "mdl_id": "model_id", "sw": "sw_version", "hw": "hw_version", "sn": "serial_number",
                        "sa": "suggested_area", "cu": "configuration_url", "via_device": "via_device"}
DEVICE_OPTIONS = {"identifiers", "connections", "manufacturer", "model", "model_id", "name", "sw_version",
                  "hw_version", "serial_number", "suggested_area", "configuration_url", "via_device"}
ORIGIN_ABBREVIATIONS = {"sw": "sw_version", "url": "support_url"}
ORIGIN_OPTIONS = {"name", "sw_version", "support_url"}
COMPONENT_ABBREVIATIONS = {"p": "platform", "uniq_id": "unique_id", "val_tpl": "value_template",
                           "stat_cla": "state_class", "dev_cla": "device_class",
                           "unit_of_meas": "unit_of_measurement", "stat_t": "state_topic",
                           "avty_t": "availability_topic", "obj_id": "object_id", "ent_cat": "entity_category",
                           "exp_aft": "expire_after", "frc_upd": "force_update", "ic": "icon",
                           "sug_dsp_prc": "suggested_display_precision", "def_ent_id": "default_entity_id"}
SENSOR_OPTIONS = {"platform", "name", "unique_id", "value_template", "state_class", "device_class",
                  "unit_of_measurement", "state_topic", "qos", "availability_topic", "object_id",
                  "entity_category", "expire_after", "force_update", "icon", "suggested_display_precision",
                  "default_entity_id", "encoding", "enabled_by_default"}
STATE_CLASSES = {"measurement", "measurement_angle", "total", "total_increasing"}
ID = re.compile(r"^[a-zA-Z0-9_-]+$")
TOPIC = re.compile(r"^homeassistant/device/([^/]+)/config$")

errors = []


def error(text):
    errors.append(text)


def expanded(mapping, table, where):
    if not isinstance(mapping, dict):
        error(f"{where} is not a mapping")
        return {}
    out = {}
    for key, value in mapping.items():
        full = table.get(key, key)
        if full in out:
            error(f"{where}: {full} given twice")
        out[full] = value
    return out


class Warned(jinja2.StrictUndefined):
    """Home Assistant warns on every use of an undefined value; here it is an error."""


def check(lines):
    if len(lines) < 2:
        error("no config")
        return []
    topic, payload = lines[0], lines[1]
    m = TOPIC.match(topic)
    if not m or not ID.match(m.group(1)):
        error(f"not a device discovery topic: {topic}")
    try:
        config = json.loads(payload)
    except ValueError as e:
        error(f"payload is not JSON: {e}")
        return []
    root = expanded(config, ROOT_ABBREVIATIONS, "config")
    for key in root:
        if key not in SHARED_OPTIONS:
            error(f"config: {key} is not a shared option of device discovery")
    device = expanded(root.get("device"), DEVICE_ABBREVIATIONS, "device")
    for key in device:
        if key not in DEVICE_OPTIONS:
            error(f"device: unknown option {key}")
    ids = device.get("identifiers")
    if isinstance(ids, str):
        ids = [ids]
    if not (isinstance(ids, list) and ids and all(isinstance(i, str) and i for i in ids)) and not device.get("connections"):
        error("device: identifiers required")
    if "name" in device and not isinstance(device["name"], str):
        error("device: name is not a string")
    origin = expanded(root.get("origin"), ORIGIN_ABBREVIATIONS, "origin")
    for key in origin:
        if key not in ORIGIN_OPTIONS:
            error(f"origin: unknown option {key}")
    if not isinstance(origin.get("name"), str) or not origin.get("name"):
        error("origin: name required")
    if "qos" in root and root["qos"] not in (0, 1, 2):
        error("qos must be 0, 1 or 2")
    components = root.get("components")
    if not isinstance(components, dict) or not components:
        error("components required")
        return []
    env = ImmutableSandboxedEnvironment(undefined=Warned)
    sensors = {}
    unique_ids = set()
    for key, raw in components.items():
        if not ID.match(key):
            error(f"component id {key} is not [a-zA-Z0-9_-]+")
        c = expanded(raw, COMPONENT_ABBREVIATIONS, f"component {key}")
        if c.get("platform") != "sensor":
            error(f"component {key}: platform must be sensor, is {c.get('platform')}")
        for option in c:
            if option not in SENSOR_OPTIONS:
                error(f"component {key}: unknown sensor option {option}")
        uid = c.get("unique_id")
        if not isinstance(uid, str) or not uid:
            error(f"component {key}: unique_id required")
        elif uid in unique_ids:
            error(f"component {key}: unique_id {uid} given twice")
        unique_ids.add(uid)
        if "state_class" in c and c["state_class"] not in STATE_CLASSES:
            error(f"component {key}: state_class {c['state_class']} unknown")
        if "state_topic" not in c and "state_topic" not in root:
            error(f"component {key}: no state topic")
        template = None
        if "value_template" in c:
            try:
                template = env.from_string(c["value_template"])
            except jinja2.TemplateError as e:
                error(f"component {key}: template does not compile: {e}")
        sensors[key] = (template, "state_class" in c)
    states = []
    for n, record in enumerate(lines[2:], 1):
        try:
            value_json = json.loads(record)
        except ValueError:
            value_json = None
        got = {}
        for key, (template, numeric) in sensors.items():
            if template is None:
                state = record
            else:
                try:
                    state = template.render(value=record, value_json=value_json)
                except jinja2.UndefinedError as e:
                    error(f"record {n}, {key}: template warning: {e}")
                    continue
                except Exception as e:  # what Home Assistant logs as an error in rendering
                    error(f"record {n}, {key}: template error: {e}")
                    continue
            if state == "None":
                got[key] = None
                continue
            if numeric:
                if state == "":
                    continue  # ignored: the sensor keeps its state
                try:
                    float(state)
                except ValueError:
                    error(f"record {n}, {key}: non-numeric state {state!r} for a sensor with a state class")
                    continue
            elif len(state) > 255:
                error(f"record {n}, {key}: state of {len(state)} characters, more than 255")
                continue
            got[key] = state
        states.append(got)
    return states


def main():
    lines = sys.stdin.read().split("\n")
    while lines and lines[-1] == "":
        lines.pop()
    states = check(lines)
    for e in errors:
        print(f"error: {e}")
    for s in states:
        print(json.dumps(s, ensure_ascii=False, sort_keys=True))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
