# Sourced by the scripts that have LibreOffice compute workbooks.
#
# recalc_profile HOME: writes a throw-away LibreOffice profile below HOME
# that recalculates every formula of an xlsx file on load, so LibreOffice
# computes the results itself instead of showing the values the file holds.
# Run soffice with HOME=HOME to use it.
recalc_profile() {
  local profile="$1/.config/libreoffice/4/user"
  mkdir -p "$profile"
  cat >"$profile/registrymodifications.xcu" <<'XCU'
<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="OOXMLRecalcMode" oor:op="fuse"><value>0</value></prop></item>
</oor:items>
XCU
}
