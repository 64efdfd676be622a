"""Which field reader serves which zone role: the one table every caller of the readers uses.

Clock roles are read as a clock, the two-digit roles as a score, the roles the single-digit reader
accepts as a single digit, and any other role as the one-digit period layout (the same layouts the
module gives these roles).
"""

SCORE_ROLES = frozenset({
    "home_score", "guest_score", "home_shots", "guest_shots", "home_penalty_player_1",
    "home_penalty_player_2", "guest_penalty_player_1", "guest_penalty_player_2", "to_go", "ball_on",
})
CLOCK_ROLES = frozenset({"clock", "home_penalty_1", "home_penalty_2", "guest_penalty_1", "guest_penalty_2"})
SINGLE_DIGIT_ROLES = frozenset({"down", "home_timeouts", "guest_timeouts"})
PERIOD_ROLES = frozenset({"period"})
# Every role the system names, in the order an operator's role list shows them.
KNOWN_ROLES = (
    "clock", "home_score", "guest_score", "period", "home_shots", "guest_shots",
    "home_penalty_1", "home_penalty_2", "guest_penalty_1", "guest_penalty_2",
    "home_penalty_player_1", "home_penalty_player_2", "guest_penalty_player_1", "guest_penalty_player_2",
    "down", "to_go", "ball_on", "home_timeouts", "guest_timeouts",
)


def field_kind(role):
    """"clock", "score", "single_digit" or "period": the reader family of ROLE."""
    if role in CLOCK_ROLES:
        return "clock"
    if role in SCORE_ROLES:
        return "score"
    if role in SINGLE_DIGIT_ROLES:
        return "single_digit"
    return "period"


def reader_for(panelsight, role, form=""):
    """The reader of ROLE in the given form: "" (file), "_from_image" or "_from_crop"."""
    return getattr(panelsight, f"read_{field_kind(role)}{form}")
