--! args: --user ada --password ada.pass
-- The java table and METADATA_PASSID: an object of the project's receiver gets the connection's
-- credentials (the password only ever shown masked); names are the host's (letter case and
-- trailing blanks aside); a dropped name is no Java object.
print(java.new("receiver", "rux.CredentialReceiver"))
print(pcall(java.call, "receiver", "getUser"))
print(java.call("receiver", "describe"))
print(metadata_passid("RECEIVER  "))
print(java.call("receiver", "describe"))
print(java.call("receiver", "getCallCount"))
print(java.drop("receiver"), java.drop("receiver"))
print(metadata_passid("receiver"))
print(symget("SYSRC"), symget("SYSMSG"))
