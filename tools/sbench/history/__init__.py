"""The history: every comparison recorded into one store (a SQLite file, or a
PostgreSQL database a fleet shares), read back as series by commit.

What the detector, the commands and the trend page use:

  store.connect(url_or_None, write=True, create=True) -> handle
      url: a path, sqlite:///PATH, postgresql://... or libpq's key=value
      form (a service file, .pgpass and PG* variables work; a password is
      refused). None: $SHADERBENCH_STORE, else
      $XDG_DATA_HOME/shaderbench/history.sqlite. The schema is made, or an
      older one migrated; a newer one, or another program's database, is
      refused (store.StoreError). Not write: nothing is written, and an
      empty or older store is refused.
  store.close(handle)
  store.rows(handle, sql, params) / store.one(...) / store.execute(...)
      one SQL text for both engines, :name placeholders;
  store.transaction(handle)  a write: all of it, or nothing.
  series.series_list(handle, machine=None, configuration=None, shaders=None,
                     measure=None)
      -> [dict(id, name, machine, configuration, shaders, measure, unit, ...)]
      name: no two series listed read alike (series.named)
  series.series_points(handle, series_id, last=None)   (one read: one snapshot of the store)
      -> [dict(position, commit, runs, libraries, reference_runs, recorded)],
      oldest first by first-parent position; points without a commit last,
      by recording time (position and commit None).

The changes the detector finds go into the changes table (schema.py says
its columns; schema.STATUSES its statuses), keyed by series, detector and
the commits on either side ('' when unknown).
"""
