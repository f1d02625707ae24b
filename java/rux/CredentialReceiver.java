package rux;

/**
 * Receives the credentials of a metadata connection through setCredential, as a calling
 * program's Java object does. The getters let a program show what arrived; the password itself
 * never leaves the object: only its mask and length can be read.
 */
public class CredentialReceiver {
  private String domain;
  private String user;
  private String password;
  private int calls;

  public CredentialReceiver() {}

  /** The metadata connection hands its credentials over here: domain, user, password. */
  public void setCredential(String domain, String user, String password) {
    this.domain = domain;
    this.user = user;
    this.password = password;
    this.calls++;
  }

  public String getDomain() {
    requireReceived();
    return domain;
  }

  public String getUser() {
    requireReceived();
    return user;
  }

  /** One '*' per character of the password received. */
  public String getPasswordMask() {
    requireReceived();
    return "*".repeat(password.length());
  }

  /**
   * The password's String.hashCode() as text, so a test can tell that the right password
   * arrived without the password itself ever being shown.
   */
  public String getPasswordHash() {
    requireReceived();
    return Integer.toString(password.hashCode());
  }

  /** "domain=D user=U password=***" for a program to print. */
  public String describe() {
    if (calls == 0) return "nothing received";
    return "domain=" + domain + " user=" + user + " password=" + getPasswordMask();
  }

  /** How often setCredential was called, as text. */
  public String getCallCount() {
    return Integer.toString(calls);
  }

  private void requireReceived() {
    if (calls == 0) throw new IllegalStateException("no credential received yet");
  }
}
