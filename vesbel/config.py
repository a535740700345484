"""Application configuration and the AirPlay-to-speaker volume conversion."""

import math
from dataclasses import dataclass, field

# AirPlay senders report volume from -30 dB (quietest) to 0 dB (loudest);
# -144 dB means muted.
AIRPLAY_MIN_DB = -30.0
AIRPLAY_MAX_DB = 0.0
AIRPLAY_MUTE_DB = -144.0


@dataclass
class TargetConfig:
    """One Xiaomi speaker known to the application."""

    did: str
    name: str = ""
    hardware: str = ""


@dataclass
class GroupConfig:
    """The whole-house group: its member speakers and its AirPlay name."""

    member_dids: list[str] = field(default_factory=list)
    airplay_name: str = "Whole House"


@dataclass
class Config:
    group: GroupConfig = field(default_factory=GroupConfig)
    default_xiaomi_volume: int = 30
    default_audio_id: str = ""
    web_port: int = 8080
    virtual_delay: int = 300
    targets: list[TargetConfig] = field(default_factory=list)


def airplay_db_to_xiaomi_volume(db, default):
    """Maps an AirPlay volume in dB to a speaker volume 0..100.

    -30..0 dB maps linearly onto 0..100 (rounded half up, clamped outside that
    range); mute (-144 dB) gives 0. A value that is not a finite number gives
    ``default`` unchanged.
    """
    db = float(db)
    if not math.isfinite(db):
        return default
    if db <= AIRPLAY_MUTE_DB:
        return 0
    volume = (db - AIRPLAY_MIN_DB) * 100 / (AIRPLAY_MAX_DB - AIRPLAY_MIN_DB)
    return min(100, max(0, math.floor(volume + 0.5)))
